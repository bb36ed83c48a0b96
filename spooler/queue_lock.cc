#include "spooler/queue_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"
#include "spooler/queue_config.h"

namespace spooler {

namespace {

// The process id in a lock text "name pid:ctime", or 0 when the text does not hold one. The
// pid is the digits after a blank and before a colon that is not followed by a digit (the
// time of day inside the ctime text has digits after its colons).
int lock_pid(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != ' ') continue;
    size_t j = i + 1;
    while (j < text.size() && j - i <= 10 && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
    if (j == i + 1 || j >= text.size() || text[j] != ':') continue;
    if (j + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[j + 1]))) continue;
    long pid = std::strtol(text.substr(i + 1, j - i - 1).c_str(), nullptr, 10);
    return pid > 0 && pid <= 0x7FFFFFFF ? static_cast<int>(pid) : 0;
  }
  return 0;
}

// Removes the lock at `path` when it is stale: the process named in it is gone and the file is
// kStaleLockAge seconds old, or it names no process and is kOwnerlessLockAge seconds old (its
// writer was killed before the text was in). Several programs may find the same stale lock at
// once, and a writer holds flock(2) on its lock until the text is written: each breaker takes
// flock(2) on the stale file itself and removes the path only while it still names that very
// file, so no program ever removes a lock that another one has taken or is still writing.
bool break_stale_lock(const Config& cfg, const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buf[256];
  long n = ld::read_full(fd.get(), buf, sizeof buf);
  if (n < 0) return false;
  int pid = lock_pid(std::string(buf, static_cast<size_t>(n)));
  const long long age =
      static_cast<long long>(cfg.clock->now()) - static_cast<long long>(st.st_mtime);
  if (pid == ::getpid()) return false;
  if (pid != 0 && (::kill(pid, 0) == 0 || errno != ESRCH)) return false;
  if (age < (pid != 0 ? kStaleLockAge : kOwnerlessLockAge)) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat cur;
  if (::lstat(path.c_str(), &cur) != 0 || cur.st_ino != st.st_ino || cur.st_dev != st.st_dev)
    return false;
  if (::unlink(path.c_str()) != 0) return false;
  if (pid != 0)
    std::fprintf(cfg.err, "LOCK STALE %s: process %d is gone, lock removed\n", path.c_str(), pid);
  else
    std::fprintf(cfg.err, "LOCK STALE %s: no owner in it for %lld seconds, lock removed\n",
                 path.c_str(), age);
  return true;
}

// True while `path` still names the file open at fd.
bool still_names(const std::string& path, int fd) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
         a.st_dev == b.st_dev;
}

// 1 created, 0 exists, -1 cannot be created or written (reported, *err says why).
int create_lock(const Config& cfg, const std::string& path, std::string* err) {
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    if (errno == EEXIST) return 0;
    *err = "cannot create " + path + ": " + std::strerror(errno);
    std::fprintf(cfg.err, "get_lock ERROR %s\n", err->c_str());
    return -1;
  }
  // Held until the text is in: a lock without text is never broken while its writer lives.
  ::flock(fd.get(), LOCK_EX | LOCK_NB);
  const std::string text = lock_text(cfg);
  if (!ld::write_all(fd.get(), text.data(), text.size())) {
    *err = "cannot write " + path + ": " + std::strerror(errno);
    std::fprintf(cfg.err, "get_lock ERROR %s\n", err->c_str());
    if (still_names(path, fd.get())) ::unlink(path.c_str());
    return -1;
  }
  // Broken meanwhile (this program stood still for kOwnerlessLockAge seconds): not ours.
  return still_names(path, fd.get()) ? 1 : 0;
}

}  // namespace

int take_lock(const Config& cfg, const std::string& path, bool break_stale, std::string* err) {
  int budget = 5;
  for (;;) {
    int r = create_lock(cfg, path, err);
    if (r == 0 && break_stale && break_stale_lock(cfg, path)) r = create_lock(cfg, path, err);
    if (r != 0) return r;
    if (budget == 0) return 0;
    --budget;
    std::fprintf(cfg.err, "LOCK EXISTS %s\n", path.c_str());
    cfg.clock->sleep_ms(1000);
  }
}

int get_lock(const Config& cfg, const std::string& path) {
  std::string err;
  return take_lock(cfg, path, path != cfg.pause_flag, &err) == 1 ? 1 : 0;
}

int remove_lock(const std::string& path) {
  ::unlink(path.c_str());
  return 1;
}

int get_qlock(const Config& cfg) { return get_lock(cfg, cfg.lock); }
int remove_qlock(const Config& cfg) { return remove_lock(cfg.lock); }

QueueLock::QueueLock(const Config& cfg) : cfg_(cfg) {
  held_ = take_lock(cfg, cfg.lock, true, &error_) == 1;
  if (held_) error_.clear();
}

QueueLock::~QueueLock() {
  if (held_) remove_qlock(cfg_);
}

}  // namespace spooler
