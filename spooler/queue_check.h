// The queue as text for the service pages, and the sweep of job files that no record names.
#pragma once
#include "spooler/queue_config.h"

namespace spooler {

// On cfg.out (problems on cfg.err).
// "dump_queue njobs = %d\n" and one block per job. Returns 1.
int dump_queue(const Config& cfg);
// The queue with a file check per job, then every ".prn" file of the queue directory marked
// "OK   " (a record names it) or "ERROR"; each ERROR file is deleted, "rm <escaped path>" printed
// first. A ".spl" file (or a leftover ".spl.tmp") that no record names and that is at least
// kOrphanCopyAge seconds old is an orphan too, left by a program killed half-way: it is listed
// as ERROR and deleted the same way; younger ones (a copy being queued right now) are not
// listed. The comparison and deletions run under the queue lock, so a job that the spooler is
// just renaming into place is not taken for an orphan; without the lock nothing is deleted.
// Returns 1.
constexpr int kOrphanCopyAge = 60;
int check_queue(const Config& cfg);

}  // namespace spooler
