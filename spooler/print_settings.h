// The settings of one print or save of a stored job, and the one place where they become the
// job filter's arguments: the job browser's Save filters with them at once; its Print keeps them
// in the queue record, from which the spooler turns them into the same arguments later.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "spooler/prnfilt.h"
#include "spooler/queue_record.h"

namespace spooler {

// Most copies of one print: the job browser's keypad offers no more. A record or a form asking
// for more (or for fewer than one) gets this bound, so no outside number makes the sender send a
// file without end or the filter write a copy count the printer cannot take.
constexpr int32_t kPrintCopiesMax = 999;

struct print_settings {
  int32_t from = 1;  // first page, from 1
  int32_t to = 1;    // last page; below `from` means just page `from`
  int32_t copies = 1;
  int32_t collate = 0;  // non-zero: collated copies
  int32_t quality = 0;  // item 113 value, 0 keeps the job's
  int32_t disp = 0;     // item 0x8514 value, 0 keeps the job's
  // Item overrides in order (the last naming an id wins). A queue record holds kQueueMaxTags of
  // them: only the first kQueueMaxTags count, for a save as for a print.
  std::vector<queue_tag> options;
};

// The settings a queued record carries.
print_settings settings_of(const queue_record& r);

// Puts the settings into a record about to be queued: quality, disp, from, to, copies, collate,
// ntags and tags, each as filter_args will use it. The other fields stay.
void put_settings(const print_settings& s, queue_record* r);

// The filter's arguments for filtering `input` into `output` with `s`. What the filter is told:
// a first page of at least 1, copies within 1..kPrintCopiesMax, collate 0 or 1, the first
// kQueueMaxTags options whose ids name a job item (0..0xFFFF; others could never apply).
prnfilt_args filter_args(const print_settings& s, std::string input, std::string output);

}  // namespace spooler
