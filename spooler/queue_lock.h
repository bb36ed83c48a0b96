// The lock-file protocol of the queue lock and the pause flag.
#pragma once
#include <string>

#include "spooler/queue_config.h"

namespace spooler {

// A lock whose process is gone is broken once its file is this old (seconds).
constexpr int kStaleLockAge = 3;
// A lock that names no owner (a program was killed between creating it and writing its text,
// or the text is damaged) is broken once its file is this old (seconds). Writing the text takes
// microseconds, and a writer holds flock(2) on its new lock until the text is in, so a lock
// still being written is never taken for one of these.
constexpr int kOwnerlessLockAge = 10;
// The lock text is "%s %d:%s\n": process name, process id, ctime of now.
// Takes a lock file by exclusive create, with cfg's lock text. Messages go to cfg.err, the
// sleeps and ages are on cfg.clock. While it exists: "LOCK EXISTS %s\n" on standard
// error and a 1-second sleep, 5 times, then 0. A lock whose text names a process that is no
// longer running here, and whose file is at least kStaleLockAge seconds old, is removed with
// "LOCK STALE %s: process %d is gone, lock removed\n" on standard error and taken; so is a lock
// whose text names no process and whose file is at least kOwnerlessLockAge seconds old, with
// "LOCK STALE %s: no owner in it for %d seconds, lock removed\n". A lock of a running process is
// never removed. A lock that cannot be created or written (a full disk) fails at once with
// "get_lock ERROR cannot create|write %s: <reason>\n". The pause flag is never treated as
// stale: it is a setting, not a lock.
int get_lock(const Config& cfg, const std::string& path);
// Deletes a lock file; always 1.
int remove_lock(const std::string& path);
// take_lock's result: 1 taken; 0 held by another program all the time (after the 5 retries);
// -1 cannot be made (reported; *err says why). break_stale: whether a stale lock is removed.
int take_lock(const Config& cfg, const std::string& path, bool break_stale, std::string* err);
int get_qlock(const Config& cfg);     // get_lock(cfg, cfg.lock)
int remove_qlock(const Config& cfg);  // remove_lock(cfg.lock)

// Holds the queue lock for one read-modify-write step: taken by get_qlock's protocol when made,
// released when it goes.
class QueueLock {
 public:
  explicit QueueLock(const Config& cfg);
  ~QueueLock();
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;
  bool held() const { return held_; }
  // Not taken because another program held it all the time (as opposed to a lock that could
  // not be made at all, which error() describes, e.g. "cannot write ...: No space left on device").
  bool busy() const { return !held_ && error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  const Config& cfg_;
  bool held_ = false;
  std::string error_;
};

}  // namespace spooler
