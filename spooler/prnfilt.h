// The job filter: cuts a page range out of a stored job, rewrites the copies, quality and
// printer-setting items of its document and page headers (plus any item the job's options
// override) and, for collated copies, repeats the selected pages inside the file. It streams the
// job, so memory stays the same whatever the size of the job or of the selection.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// One item the job's options set: every START_DOC / START_PAGE item with this id gets `value`.
struct prnfilt_override {
  uint32_t id = 0;
  int32_t value = 0;
};

// What the caller wants done with one job.
struct prnfilt_args {
  std::string input;   // job to read
  std::string output;  // file to write; created or truncated
  int32_t copies = 1;
  int32_t collate = 0;  // non-zero: collated copies, repeated inside the file
  int32_t from = 0;     // first page, from 1; 0 or less: only count the pages
  int32_t to = 0;       // last page; below `from` means just page `from`
  int32_t quality = 0;  // value for item 113; 0 keeps the job's
  int32_t disp = 0;     // value for item 0x8514; 0 keeps the job's
  std::vector<prnfilt_override> overrides;  // the last one naming an id wins
};

// Largest collated file: beyond it only one set is written and *send_copies becomes 1, so the
// sender sends the file `copies` times instead.
constexpr uint64_t kCollateLimit = 536870912;
// Bytes moved per read when copying and when repeating the selection.
constexpr size_t kFilterBlock = 65535;

// Filters args.input into args.output. Returns the number of pages seen (START_PAGE chunks read
// up to where reading stopped). Sets *send_copies to 1 (never clears it) when the collated
// copies were left out because the file would be too large.
// On a fatal error (input missing or not a job, output not creatable, a read or write failing
// while copying) the message is printed to `msg`, a partly written output is removed, and the
// result is -1: the calling program decides how to end.
int prnfilt(const prnfilt_args& args, int32_t* send_copies, FILE* msg = stderr);

// Whose fault a failed run is: the job's (missing, not a job stream, cut inside a chunk or
// unreadable), which no later run mends, or the output's (cannot be created or written, the
// disk full), which may pass.
enum class prnfilt_fault { kNone, kJob, kOutput };

struct prnfilt_result {
  int pages = 0;                              // as prnfilt returns it
  prnfilt_fault fault = prnfilt_fault::kNone;  // kNone exactly when pages >= 0
  int error = 0;                              // the system error of an output fault, 0 when unknown
};

// prnfilt, telling a failure's cause as well.
prnfilt_result prnfilt_run(const prnfilt_args& args, int32_t* send_copies, FILE* msg = stderr);
