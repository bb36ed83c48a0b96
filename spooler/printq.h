// The print queue store: the queue file of fixed 852-byte job records through which jobdesk,
// spoold, pjlsend and queuejson hand jobs to each other, the queue lock file and the pause flag.
// There is no server: every program reads and rewrites the files itself, under the queue lock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"

constexpr size_t kQueueRecordSize = 852;
constexpr size_t kQueueTextSize = 200;  // path and displayname: at most 199 bytes and a NUL
constexpr int kQueueMaxTags = 50;
// A queue file longer than this many records is taken as damaged: it is not read, and nothing
// rewrites it.
constexpr size_t kQueueMaxJobs = 10000;
// A lock whose process is gone is broken once its file is this old (seconds).
constexpr int kStaleLockAge = 3;
// A lock that names no owner (a program was killed between creating it and writing its text,
// or the text is damaged) is broken once its file is this old (seconds). Writing the text takes
// microseconds, and a writer holds flock(2) on its new lock until the text is in, so a lock
// still being written is never taken for one of these.
constexpr int kOwnerlessLockAge = 10;
// Longest path whose record also carries the add serial: it is kept in the last four bytes of
// the path field, behind the path's NUL.
constexpr size_t kQueuePathRoom = 195;
constexpr size_t kQueueSerialOffset = 196;

struct queue_tag {
  int32_t id = 0;     // job item id
  int32_t value = 0;  // value the filter writes into it
};

// One job of the queue, as the file stores it (little-endian, offsets in the comments).
struct queue_record {
  char path[kQueueTextSize] = {};         //   0: the queued ".spl" copy, later the ".prn" file
  char displayname[kQueueTextSize] = {};  // 200: name shown to the user
  int32_t added_time = 0;                 // 400: seconds since the epoch
  int32_t printing = 0;                   // 404: 1 once a send has started
  int32_t print_time = 0;                 // 408: start of the latest send
  int32_t spooled = 0;                    // 412: 1 once filtered, ready to send
  int32_t quality = 0;                    // 416: item 113 value, 0 = keep the job's
  int32_t disp = 0;                       // 420: item 0x8514 value, 0 = keep the job's
  int32_t from = 0;                       // 424: first page, from 1
  int32_t to = 0;                         // 428: last page
  int32_t copies = 0;                     // 432
  int32_t copies_sent = 0;                // 436: sends started so far
  int32_t collate = 0;                    // 440
  int32_t send_copies = 0;                // 444: 1 = file holds one set, sent `copies` times
  int32_t ntags = 0;                      // 448: used entries of tags
  queue_tag tags[kQueueMaxTags] = {};     // 452: (id, value) pairs
  // 196 (inside the path field, behind its NUL; only when the path is at most kQueuePathRoom
  // bytes, else 0): a number drawn when the job was added. Paths are reused (a job deleted and
  // queued again gets the first free name), so a job is known by its path, added_time and this
  // serial together: see same_job.
  uint32_t serial = 0;
};

// True when both records are the same queued job: the same path, added_time and serial. A job
// deleted and queued again under the same path is another job.
bool same_job(const queue_record& a, const queue_record& b);

// Explicit little-endian layout. Decoding always leaves both texts NUL-terminated and ntags
// within 0..50, whatever the bytes say, so no reader of a damaged file runs past a field.
void encode_queue_record(const queue_record& r, unsigned char* out /* kQueueRecordSize */);
queue_record decode_queue_record(const unsigned char* in /* kQueueRecordSize */);
// Copies at most 199 bytes of text into a path or displayname field, always terminated.
void set_record_text(char (&field)[kQueueTextSize], std::string_view text);

// The fixed files, with the root prefix in front.
std::string printq_dir();           // "/print/printq/"
std::string printq_filename();      // "/print/printq/printq"
std::string queue_lock();           // "/tmp/printq.lock"
std::string pause_printing_lock();  // "/print/printq/pause"
// True when `path` names a file directly in the queue directory: the only job files that the
// queue programs ever delete, so that a damaged record cannot make them delete anything else.
bool printq_owns_file(const std::string& path);

// The program name written into lock files ("UNKNOWN" until set; at most 99 bytes kept).
void set_process_name(std::string_view name);
const char* process_name();
// The clock the lock retries sleep on and take "now" from; null restores the real one.
void printq_set_clock(ld::Clock* clock);

// --- Reading and writing the queue file. The caller holds the queue lock for any
// read-modify-write built from these two.
// The whole queue, head first; empty when the file is missing ("cannot open print queue %s\n")
// or empty. Prints "Number of jobs in printq = %d\n" to standard error. A trailing partial record
// is ignored. Takes no lock; as writers replace the file by rename, a reader always sees one
// complete version of it.
std::vector<queue_record> get_printq();
// Replaces the queue file by the records, in order: written to a temporary file in the queue
// directory, synced and renamed over the queue file. 1 on success; on failure the old queue
// stays and "write_pq ERROR cannot open %s\n" or "write_pq ERROR cannot write %s: %s\n" is
// printed to standard error.
int write_pq(std::span<const queue_record> records);

// --- Operations that take the queue lock themselves: never call them while holding it.
// Appends a job: the caller fills quality, disp, from, to, copies, collate, send_copies, ntags
// and tags of `prepared`; this sets added_time (now), serial (a fresh random number, when the
// path leaves room for it), printing, print_time, spooled and copies_sent (0), path and
// displayname (199 bytes at most; a displayname whose fourth character from the end is "." is
// cut there, so "label.prn" is stored as "label"). 1 on success.
int add_to_queue(std::string_view path, std::string_view displayname, const queue_record& prepared);
// Removes the record at index (0 = head) and deletes its job file. A job file outside the queue
// directory, or one that another record names too, is never deleted (the record still goes). 1 when a record was removed; 0 when the
// index is outside the queue, the lock could not be taken or the queue could not be rewritten.
int printq_delete(int index);
// Swap the record with the one before / after it. 1 when swapped; 0 when there is nothing to
// swap with (index 0 / the last index, or outside the queue) or on a lock or write failure.
int printq_moveup(int index);
int printq_movedown(int index);

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
int printq_update_record(const queue_record& was, const queue_record& rec,
                         const std::function<bool()>& under_lock = {}, std::string* err = nullptr);
// Removes the record. `under_lock`, when given, runs once the queue without it is written,
// still under the lock, and is told whether the job's file is free: no record left names its
// path. Only then may the caller delete it; a file of that name that a newer job uses stays.
int printq_remove_record(const queue_record& was, const std::function<void(bool file_free)>& under_lock = {},
                         std::string* err = nullptr);
// Deletes a job file of the queue directory when no record names it (a copy whose job left the
// queue while it was worked on). 1 deleted or already gone, 0 a record names it (kept), or
// kMergeBusy / kMergeFailed.
int printq_remove_unnamed(const std::string& path, std::string* err = nullptr);

// --- Locks. The lock text is "%s %d:%s\n": process name, process id, ctime of now.
// Takes a lock file by exclusive create. While it exists: "LOCK EXISTS %s\n" on standard
// error and a 1-second sleep, 5 times, then 0. A lock whose text names a process that is no
// longer running here, and whose file is at least kStaleLockAge seconds old, is removed with
// "LOCK STALE %s: process %d is gone, lock removed\n" on standard error and taken; so is a lock
// whose text names no process and whose file is at least kOwnerlessLockAge seconds old, with
// "LOCK STALE %s: no owner in it for %d seconds, lock removed\n". A lock of a running process is
// never removed. A lock that cannot be created or written (a full disk) fails at once with
// "get_lock ERROR cannot create|write %s: <reason>\n". The pause flag is never treated as
// stale: it is a setting, not a lock.
int get_lock(const std::string& path);
// Deletes a lock file; always 1.
int remove_lock(const std::string& path);
int get_qlock();     // get_lock(queue_lock())
int remove_qlock();  // remove_lock(queue_lock())

// Holds the queue lock for one read-modify-write step: taken by get_qlock's protocol when made,
// released when it goes.
class QueueLock {
 public:
  QueueLock();
  ~QueueLock();
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;
  bool held() const { return held_; }
  // Not taken because another program held it all the time (as opposed to a lock that could
  // not be made at all, which error() describes, e.g. "cannot write ...: No space left on device").
  bool busy() const { return !held_ && error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  bool held_ = false;
  std::string error_;
};

// --- Pause flag.
// 1 when printing may go on (no pause flag), 0 when paused.
int check_pause();
// Creates the pause flag with the lock text, by get_lock's protocol: pausing while paused fails
// after the 5 retries and leaves the flag.
int pause_printing();
// Deletes the pause flag; always 1.
int resume_printing();

// --- Diagnostics on standard output.
// "dump_queue njobs = %d\n" and one block per job. Returns 1.
int dump_queue();
// The queue with a file check per job, then every ".prn" file of the queue directory marked
// "OK   " (a record names it) or "ERROR"; each ERROR file is deleted, "rm <escaped path>" printed
// first. A ".spl" file (or a leftover ".spl.tmp") that no record names and that is at least
// kOrphanCopyAge seconds old is an orphan too, left by a program killed half-way: it is listed
// as ERROR and deleted the same way; younger ones (a copy being queued right now) are not
// listed. The comparison and deletions run under the queue lock, so a job that the spooler is
// just renaming into place is not taken for an orphan; without the lock nothing is deleted.
// Returns 1.
constexpr int kOrphanCopyAge = 60;
int check_queue();
