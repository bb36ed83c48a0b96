#include "spooler/queue_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/fsops.h"
#include "common/handles.h"
#include "spooler/jobhistory.h"

namespace spooler {

namespace {

// A number for a new job: random, never 0 (0 is what a record without one reads as).
uint32_t fresh_serial(ld::Clock& clock) {
  uint32_t v = 0;
  if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    v = static_cast<uint32_t>(ts.tv_nsec) ^ (static_cast<uint32_t>(::getpid()) << 16) ^
        static_cast<uint32_t>(clock.now());
  }
  return v != 0 ? v : 1;
}

// --- Reading and writing the file.

// The queue as it is now: a missing file is an empty queue; any other failure is an error,
// so that a read-modify-write never writes a queue it could not read.
bool read_queue(const Config& cfg, std::vector<queue_record>* out, std::string* err) {
  out->clear();
  const std::string& path = cfg.queue_file;
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return true;
    *err = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    *err = std::strerror(errno);
    return false;
  }
  if (st.st_size > static_cast<off_t>(kQueueMaxJobs * kQueueRecordSize)) {
    *err = "more than " + std::to_string(kQueueMaxJobs) + " jobs";
    return false;
  }
  size_t count = static_cast<size_t>(st.st_size) / kQueueRecordSize;
  std::vector<unsigned char> bytes(count * kQueueRecordSize);
  long got = ld::read_full(fd.get(), bytes.data(), bytes.size());
  if (got < 0) {
    *err = std::strerror(errno);
    return false;
  }
  count = static_cast<size_t>(got) / kQueueRecordSize;  // the file may have been shorter
  out->reserve(count);
  for (size_t i = 0; i < count; ++i)
    out->push_back(decode_queue_record(bytes.data() + i * kQueueRecordSize));
  return true;
}

// Replaces the queue file through a temporary file and rename, so a crash or a full disk
// never leaves a torn queue. Messages name `who`; *why gets the reason of a failure.
bool write_queue(const Config& cfg, std::span<const queue_record> records, const char* who,
                 std::string* why = nullptr) {
  const std::string& path = cfg.queue_file;
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  ld::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    if (why != nullptr) *why = std::strerror(errno);
    std::fprintf(cfg.err, "%s ERROR cannot open %s\n", who, path.c_str());
    return false;
  }
  std::vector<unsigned char> bytes(records.size() * kQueueRecordSize);
  for (size_t i = 0; i < records.size(); ++i)
    encode_queue_record(records[i], bytes.data() + i * kQueueRecordSize);
  int error = 0;
  if (!ld::write_all(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) error = errno;
  if (::close(fd.release()) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) error = errno;
  // The folder sync makes the new queue durable, and with it the names of the job files beside
  // it that its records name: without it a power cut could bring back the old queue (a job
  // queued and shown, gone; a job sent, sent again) or records whose files never got a name.
  std::string dir_err;
  if (error == 0 && !ld::fsync_dir(ld::dir_name(path), &dir_err))
    std::fprintf(cfg.err, "%s ERROR cannot sync the folder of %s: %s\n", who, path.c_str(),
                 dir_err.c_str());
  if (error != 0) {
    std::fprintf(cfg.err, "%s ERROR cannot write %s: %s\n", who, path.c_str(),
                 std::strerror(error));
    if (why != nullptr) *why = std::strerror(error);
    ::unlink(tmp.c_str());
  }
  return error == 0;
}

bool read_locked(const Config& cfg, std::vector<queue_record>* q, const char* who) {
  std::string err;
  if (read_queue(cfg, q, &err)) return true;
  std::fprintf(cfg.err, "%s ERROR cannot read %s: %s\n", who, cfg.queue_file.c_str(), err.c_str());
  return false;
}

void set_err(std::string* err, const std::string& text) {
  if (err != nullptr) *err = text;
}

// The result of a merge that did not get the lock.
int lock_failure(const QueueLock& lock, std::string* err) {
  if (lock.busy()) return kMergeBusy;
  set_err(err, lock.error());
  return kMergeFailed;
}

// Under the lock: the queue as it is now, or kMergeFailed.
int read_for_merge(const Config& cfg, std::vector<queue_record>* q, const char* who,
                   std::string* err) {
  std::string why;
  if (read_queue(cfg, q, &why)) return kMergeDone;
  std::fprintf(cfg.err, "%s ERROR cannot read %s: %s\n", who, cfg.queue_file.c_str(), why.c_str());
  set_err(err, "cannot read " + cfg.queue_file + ": " + why);
  return kMergeFailed;
}

int write_for_merge(const Config& cfg, const std::vector<queue_record>& q, const char* who,
                    std::string* err) {
  std::string why;
  if (write_queue(cfg, q, who, &why)) return kMergeDone;
  set_err(err, "cannot write " + cfg.queue_file + ": " + why);
  return kMergeFailed;
}

int find_job(const std::vector<queue_record>& q, const queue_record& was) {
  for (size_t i = 0; i < q.size(); ++i)
    if (same_job(q[i], was)) return static_cast<int>(i);
  return -1;
}

int swap_records(const Config& cfg, int first, const char* who) {
  QueueLock lock(cfg);
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(cfg, &q, who)) return 0;
  if (first < 0 || static_cast<size_t>(first) + 1 >= q.size()) return 0;
  std::swap(q[first], q[first + 1]);
  return write_queue(cfg, q, who) ? 1 : 0;
}

}  // namespace

bool names_path(const std::vector<queue_record>& q, const std::string& path) {
  return std::any_of(q.begin(), q.end(), [&](const queue_record& r) { return path == r.path; });
}

// --- Queue file.

std::vector<queue_record> get_printq(const Config& cfg) {
  std::vector<queue_record> q;
  const std::string& path = cfg.queue_file;
  std::string err;
  if (!ld::file_exists(path) || !read_queue(cfg, &q, &err)) {
    std::fprintf(cfg.err, "cannot open print queue %s\n", path.c_str());
    return {};
  }
  std::fprintf(cfg.err, "Number of jobs in printq = %d\n", static_cast<int>(q.size()));
  return q;
}

int write_pq(const Config& cfg, std::span<const queue_record> records) {
  return write_queue(cfg, records, "write_pq") ? 1 : 0;
}

// --- Locked operations.

int add_to_queue(const Config& cfg, std::string_view path, std::string_view displayname,
                 const queue_record& prepared) {
  QueueLock lock(cfg);
  if (!lock.held()) return 0;
  queue_record r = prepared;
  r.added_time = static_cast<int32_t>(cfg.clock->now());
  r.printing = r.print_time = r.spooled = r.copies_sent = 0;
  set_record_text(r.path, path);
  r.serial = path_has_room(r.path) ? fresh_serial(*cfg.clock) : 0;
  set_record_text(r.displayname, displayname);
  size_t len = std::strlen(r.displayname);
  if (len >= 4 && r.displayname[len - 4] == '.') r.displayname[len - 4] = '\0';

  std::vector<queue_record> q;
  std::string err;
  if (!read_queue(cfg, &q, &err)) {
    std::fprintf(cfg.err, "add_to_queue ERROR cannot open %s\n", cfg.queue_file.c_str());
    return 0;
  }
  q.push_back(r);
  return write_queue(cfg, q, "add_to_queue") ? 1 : 0;
}

int printq_delete(const Config& cfg, int index) {
  QueueLock lock(cfg);
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(cfg, &q, "printq_delete")) return 0;
  if (index < 0 || static_cast<size_t>(index) >= q.size()) return 0;
  std::string file = q[index].path;
  const queue_record gone = q[index];
  q.erase(q.begin() + index);
  // The record goes first: a failed rewrite keeps both the record and its file.
  if (!write_queue(cfg, q, "printq_delete")) return 0;
  ld::record_queue_job_end(gone, ld::JobEnd::kRemoved, cfg.clock->now(), cfg.err);
  std::string err;
  if (names_path(q, file))
    std::fprintf(cfg.err, "printq_delete ERROR %s is named by another job too, not removed\n",
                 file.c_str());
  else if (!printq_owns_file(cfg, file))
    std::fprintf(cfg.err, "printq_delete ERROR %s is not in %s, not removed\n", file.c_str(),
                 cfg.dir.c_str());
  else if (!ld::remove_file(file, &err))
    std::fprintf(cfg.err, "printq_delete ERROR %s\n", err.c_str());
  return 1;
}

int printq_moveup(const Config& cfg, int index) {
  return index < 1 ? 0 : swap_records(cfg, index - 1, "printq_moveup");
}

int printq_movedown(const Config& cfg, int index) {
  return swap_records(cfg, index, "printq_movedown");
}

int printq_update_record(const Config& cfg, const queue_record& was, const queue_record& rec,
                         const std::function<bool()>& under_lock, std::string* err) {
  QueueLock lock(cfg);
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(cfg, &q, "printq_update_record", err); r != kMergeDone) return r;
  int i = find_job(q, was);
  if (i < 0) return kMergeGone;
  if (under_lock && !under_lock()) return kMergeFailed;  // the caller knows why
  q[i] = rec;
  return write_for_merge(cfg, q, "printq_update_record", err);
}

int printq_remove_record(const Config& cfg, const queue_record& was,
                         const std::function<void(bool)>& under_lock, std::string* err) {
  QueueLock lock(cfg);
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(cfg, &q, "printq_remove_record", err); r != kMergeDone) return r;
  int i = find_job(q, was);
  if (i < 0) return kMergeGone;
  q.erase(q.begin() + i);
  if (int r = write_for_merge(cfg, q, "printq_remove_record", err); r != kMergeDone) return r;
  if (under_lock) under_lock(!names_path(q, was.path));
  return kMergeDone;
}

int printq_remove_unnamed(const Config& cfg, const std::string& path, std::string* err) {
  QueueLock lock(cfg);
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(cfg, &q, "printq_remove_unnamed", err); r != kMergeDone) return r;
  queue_record probe;
  set_record_text(probe.path, path);
  if (names_path(q, probe.path)) return 0;
  if (!printq_owns_file(cfg, path)) {
    set_err(err, path + " is not in " + cfg.dir);
    return kMergeFailed;
  }
  std::string why;
  if (!ld::remove_file(path, &why)) {
    set_err(err, why);
    return kMergeFailed;
  }
  return 1;
}

}  // namespace spooler
