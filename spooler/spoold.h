// The spooler pass: every queued ".spl" copy that still has to be filtered is run through the
// job filter with its record's page range, copies, collation, quality and item overrides, and
// replaced by the ".prn" file that the send loop will send. One pass, then the program ends.
#pragma once
#include <string>
#include <string_view>

#include "spooler/prnfilt.h"
#include "spooler/printq.h"

namespace spooler {

// Times spoold asks for the queue lock (each ask waits up to five seconds) before it gives up
// the step; it never writes the queue without the lock.
constexpr int kSpoolLockTries = 6;

// The filtered file of a queued copy: its path with the last three characters made "prn".
std::string spooled_path(std::string_view spl_path);

// The filter arguments for a record: input its path, output its path + ".tmp", the rest the
// record's settings as filter_args gives them.
prnfilt_args spool_args(const queue_record& r);

// One pass over the queue that cfg names, progress on cfg.out and problems on cfg.err. A job that
// cannot be filtered at all (its copy missing, not a job stream, or without the selected pages) is
// taken out of the queue with a message and an event-log line; a failure that may pass (the output
// cannot be written, the queue lock stays taken) ends the pass and leaves the job for the next one.
// Returns the program's exit status, 1.
int spoold_pass(const Config& cfg);

}  // namespace spooler
