// The queue file: reading and replacing it, the locked operations of the queue pages and the
// merges through which the spooler and the sender write back their one record.
#pragma once
#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "spooler/queue_config.h"
#include "spooler/queue_lock.h"
#include "spooler/queue_record.h"

namespace spooler {

// A queue file longer than this many records is taken as damaged: it is not read, and nothing
// rewrites it.
constexpr size_t kQueueMaxJobs = 10000;
// Every operation works on the files that cfg names and writes its messages to cfg.err.
// --- Reading and writing the queue file. The caller holds the queue lock for any
// read-modify-write built from these two.
// The whole queue, head first; empty when the file is missing ("cannot open print queue %s\n")
// or empty. Prints "Number of jobs in printq = %d\n" to standard error. A trailing partial record
// is ignored. Takes no lock; as writers replace the file by rename, a reader always sees one
// complete version of it.
std::vector<queue_record> get_printq(const Config& cfg);
// Replaces the queue file by the records, in order: written to a temporary file in the queue
// directory, synced and renamed over the queue file. 1 on success; on failure the old queue
// stays and "write_pq ERROR cannot open %s\n" or "write_pq ERROR cannot write %s: %s\n" is
// printed to standard error.
int write_pq(const Config& cfg, std::span<const queue_record> records);

// --- Operations that take the queue lock themselves: never call them while holding it.
// Appends a job: the caller fills quality, disp, from, to, copies, collate, send_copies, ntags
// and tags of `prepared`; this sets added_time (now), serial (a fresh random number, when the
// path leaves room for it), printing, print_time, spooled and copies_sent (0), path and
// displayname (199 bytes at most; a displayname whose fourth character from the end is "." is
// cut there, so "label.prn" is stored as "label"). 1 on success. added_time is cfg.clock's now.
int add_to_queue(const Config& cfg, std::string_view path, std::string_view displayname,
                 const queue_record& prepared);
// Removes the record at index (0 = head) and deletes its job file. A job file outside the queue
// directory, or one that another record names too, is never deleted (the record still goes). 1 when
// a record was removed; 0 when the index is outside the queue, the lock could not be taken or the
// queue could not be rewritten.
int printq_delete(const Config& cfg, int index);
// Swap the record with the one before / after it. 1 when swapped; 0 when there is nothing to
// swap with (index 0 / the last index, or outside the queue) or on a lock or write failure.
int printq_moveup(const Config& cfg, int index);
int printq_movedown(const Config& cfg, int index);

// The merges for programs that read the queue, work for a long time without the lock
// (filtering, sending) and then write back what they changed: under the lock, re-read the
// queue, change only the record that is the same job as `was` (same_job: a job deleted and
// queued again under the same path meanwhile is left alone), and write it back. Jobs added,
// moved or deleted meanwhile stay as they are now. Results:
enum : int {
  kMergeDone = 1,     // changed and written
  kMergeGone = 0,     // the job is no longer queued (deleted meanwhile); nothing written
  kMergeBusy = -1,    // another program holds the queue lock; nothing changed
  kMergeFailed = -2,  // the lock or the queue could not be read or written (*err says why)
};
// Replaces the record by `rec` (which may carry a new path; it keeps the job's identity only
// through added_time and serial). `under_lock`, when given, runs with the lock held after the
// record was found and before the queue is written; when it returns false nothing is written
// and the result is kMergeFailed. The spooler renames its ".prn" into place there, so that no
// other program sees the new path without its file or the file without its record.
int printq_update_record(const Config& cfg, const queue_record& was, const queue_record& rec,
                         const std::function<bool()>& under_lock = {}, std::string* err = nullptr);
// Removes the record. `under_lock`, when given, runs once the queue without it is written,
// still under the lock, and is told whether the job's file is free: no record left names its
// path. Only then may the caller delete it; a file of that name that a newer job uses stays.
int printq_remove_record(const Config& cfg, const queue_record& was,
                         const std::function<void(bool file_free)>& under_lock = {},
                         std::string* err = nullptr);
// Deletes a job file of the queue directory when no record names it (a copy whose job left the
// queue while it was worked on). 1 deleted or already gone, 0 a record names it (kept), or
// kMergeBusy / kMergeFailed.
int printq_remove_unnamed(const Config& cfg, const std::string& path, std::string* err = nullptr);

// True when a record of q names path.
bool names_path(const std::vector<queue_record>& q, const std::string& path);

}  // namespace spooler
