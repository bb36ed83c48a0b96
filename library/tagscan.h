// The job tag scan: reads a stored job just far enough to learn its document settings (the
// START_DOC items) and the items of its first page, so that importing or listing many jobs
// costs a few reads per job whatever their size.
#pragma once
#include <cstdint>
#include <cstdio>

#include "library/prninfo.h"

namespace library {

enum ScanMode { kScanUpdate = 0, kScanFresh = 1 };

// Reads the job at info->job_path. Fresh: the option list is emptied and every START_DOC item is
// appended, up to the record's option room (items beyond it still set the page count and the
// 0x851x values, they are just not listed). Update: the list holds the items to look for (id and
// decimals); their found flags are cleared and only those items are taken, with their display
// texts. Returns 1 when the file was read (a truncated job gives what was read), 0 when it cannot
// be opened or is not a job stream (its message on `err`).
int prn_tag_scan(PrnInfo* info, int mode, FILE* err = stderr);

// 1 and *value of the first option entry with `id`; 0 when the list has none.
int find_option(const PrnInfo& info, int32_t id, int32_t* value);


}  // namespace library
