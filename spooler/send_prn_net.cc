#include "spooler/send_prn_net.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/bytes.h"
#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/paths.h"
#include "spooler/jobhistory.h"

namespace {

char g_process_name[100] = "UNKNOWN";
ld::Clock* g_clock = nullptr;

ld::Clock& queue_clock() { return g_clock != nullptr ? *g_clock : ld::system_clock(); }

// ctime(3) text of a time, with its newline.
std::string ctime_text(time_t t) {
  char buf[64];
  if (::ctime_r(&t, buf) == nullptr) return "?\n";
  return buf;
}

// The text up to its NUL, then zeros: bytes behind a NUL that a program left in memory never
// reach the file.
void put_text(const char (&field)[kQueueTextSize], unsigned char* out) {
  size_t n = ::strnlen(field, kQueueTextSize - 1);
  std::memset(out, 0, kQueueTextSize);
  std::memcpy(out, field, n);
}

bool path_has_room(const char (&path)[kQueueTextSize]) { return ::strnlen(path, kQueueTextSize) <= kQueuePathRoom; }

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

void get_text(const unsigned char* in, char (&field)[kQueueTextSize]) {
  size_t n = 0;
  while (n < kQueueTextSize - 1 && in[n] != 0) ++n;
  std::memset(field, 0, kQueueTextSize);
  std::memcpy(field, in, n);
}

int32_t get_i32(const unsigned char* b) { return static_cast<int32_t>(ld::get_le32(b)); }
void put_i32(int32_t v, unsigned char* b) { ld::put_le32(static_cast<uint32_t>(v), b); }

// The record's int32 fields in file order, from offset 400.
template <typename R>
auto int_fields(R& r) {
  return std::array{&r.added_time, &r.printing, &r.print_time, &r.spooled, &r.quality,
                    &r.disp,       &r.from,     &r.to,         &r.copies,  &r.copies_sent,
                    &r.collate,    &r.send_copies, &r.ntags};
}

// --- Reading and writing the file.

// The queue as it is now: a missing file is an empty queue; any other failure is an error,
// so that a read-modify-write never writes a queue it could not read.
bool read_queue(std::vector<queue_record>* out, std::string* err) {
  out->clear();
  std::string path = printq_filename();
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
  for (size_t i = 0; i < count; ++i) out->push_back(decode_queue_record(bytes.data() + i * kQueueRecordSize));
  return true;
}

// Replaces the queue file through a temporary file and rename, so a crash or a full disk
// never leaves a torn queue. Messages name `who`; *why gets the reason of a failure.
bool write_queue(std::span<const queue_record> records, const char* who, std::string* why = nullptr) {
  std::string path = printq_filename();
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  ld::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    if (why != nullptr) *why = std::strerror(errno);
    std::fprintf(stderr, "%s ERROR cannot open %s\n", who, path.c_str());
    return false;
  }
  std::vector<unsigned char> bytes(records.size() * kQueueRecordSize);
  for (size_t i = 0; i < records.size(); ++i) encode_queue_record(records[i], bytes.data() + i * kQueueRecordSize);
  int error = 0;
  if (!ld::write_all(fd.get(), bytes.data(), bytes.size()) || ::fsync(fd.get()) != 0) error = errno;
  if (::close(fd.release()) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    std::fprintf(stderr, "%s ERROR cannot write %s: %s\n", who, path.c_str(), std::strerror(error));
    if (why != nullptr) *why = std::strerror(error);
    ::unlink(tmp.c_str());
  }
  return error == 0;
}

bool read_locked(std::vector<queue_record>* q, const char* who) {
  std::string err;
  if (read_queue(q, &err)) return true;
  std::fprintf(stderr, "%s ERROR cannot read %s: %s\n", who, printq_filename().c_str(), err.c_str());
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
int read_for_merge(std::vector<queue_record>* q, const char* who, std::string* err) {
  std::string why;
  if (read_queue(q, &why)) return kMergeDone;
  std::fprintf(stderr, "%s ERROR cannot read %s: %s\n", who, printq_filename().c_str(), why.c_str());
  set_err(err, "cannot read " + printq_filename() + ": " + why);
  return kMergeFailed;
}

int write_for_merge(const std::vector<queue_record>& q, const char* who, std::string* err) {
  std::string why;
  if (write_queue(q, who, &why)) return kMergeDone;
  set_err(err, "cannot write " + printq_filename() + ": " + why);
  return kMergeFailed;
}

int find_job(const std::vector<queue_record>& q, const queue_record& was) {
  for (size_t i = 0; i < q.size(); ++i)
    if (same_job(q[i], was)) return static_cast<int>(i);
  return -1;
}

bool names_path(const std::vector<queue_record>& q, const std::string& path) {
  return std::any_of(q.begin(), q.end(), [&](const queue_record& r) { return path == r.path; });
}

int swap_records(int first, const char* who) {
  QueueLock lock;
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(&q, who)) return 0;
  if (first < 0 || static_cast<size_t>(first) + 1 >= q.size()) return 0;
  std::swap(q[first], q[first + 1]);
  return write_queue(q, who) ? 1 : 0;
}

// --- Locks.

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
bool break_stale_lock(const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buf[256];
  long n = ld::read_full(fd.get(), buf, sizeof buf);
  if (n < 0) return false;
  int pid = lock_pid(std::string(buf, static_cast<size_t>(n)));
  const long long age = static_cast<long long>(queue_clock().now()) - static_cast<long long>(st.st_mtime);
  if (pid == ::getpid()) return false;
  if (pid != 0 && (::kill(pid, 0) == 0 || errno != ESRCH)) return false;
  if (age < (pid != 0 ? kStaleLockAge : kOwnerlessLockAge)) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat cur;
  if (::lstat(path.c_str(), &cur) != 0 || cur.st_ino != st.st_ino || cur.st_dev != st.st_dev) return false;
  if (::unlink(path.c_str()) != 0) return false;
  if (pid != 0)
    std::fprintf(stderr, "LOCK STALE %s: process %d is gone, lock removed\n", path.c_str(), pid);
  else
    std::fprintf(stderr, "LOCK STALE %s: no owner in it for %lld seconds, lock removed\n", path.c_str(), age);
  return true;
}

// True while `path` still names the file open at fd.
bool still_names(const std::string& path, int fd) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// 1 created, 0 exists, -1 cannot be created or written (reported, *err says why).
int create_lock(const std::string& path, std::string* err) {
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    if (errno == EEXIST) return 0;
    *err = "cannot create " + path + ": " + std::strerror(errno);
    std::fprintf(stderr, "get_lock ERROR %s\n", err->c_str());
    return -1;
  }
  // Held until the text is in: a lock without text is never broken while its writer lives.
  ::flock(fd.get(), LOCK_EX | LOCK_NB);
  std::string text = std::string(g_process_name) + " " + std::to_string(::getpid()) + ":" + ctime_text(queue_clock().now()) + "\n";
  if (!ld::write_all(fd.get(), text.data(), text.size())) {
    *err = "cannot write " + path + ": " + std::strerror(errno);
    std::fprintf(stderr, "get_lock ERROR %s\n", err->c_str());
    if (still_names(path, fd.get())) ::unlink(path.c_str());
    return -1;
  }
  // Broken meanwhile (this program stood still for kOwnerlessLockAge seconds): not ours.
  return still_names(path, fd.get()) ? 1 : 0;
}

// 1 taken; 0 held by another program all the time; -1 cannot be made (*err says why).
int take_lock(const std::string& path, bool break_stale, std::string* err) {
  int budget = 5;
  for (;;) {
    int r = create_lock(path, err);
    if (r == 0 && break_stale && break_stale_lock(path)) r = create_lock(path, err);
    if (r != 0) return r;
    if (budget == 0) return 0;
    --budget;
    std::fprintf(stderr, "LOCK EXISTS %s\n", path.c_str());
    queue_clock().sleep_ms(1000);
  }
}

bool orphan_copy_age_reached(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  return static_cast<long long>(queue_clock().now()) - static_cast<long long>(st.st_mtime) >= kOrphanCopyAge;
}

void print_job_head(const queue_record& r) {
  std::printf("file: %s <%s>", r.path, r.displayname);
  std::printf("\t %d %s", r.printing, ctime_text(r.added_time).c_str());
}

}  // namespace

// --- Records.

void encode_queue_record(const queue_record& r, unsigned char* out) {
  put_text(r.path, out);
  if (path_has_room(r.path)) put_i32(static_cast<int32_t>(r.serial), out + kQueueSerialOffset);
  put_text(r.displayname, out + 200);
  size_t off = 400;
  for (const int32_t* f : int_fields(r)) {
    put_i32(*f, out + off);
    off += 4;
  }
  for (const queue_tag& t : r.tags) {
    put_i32(t.id, out + off);
    put_i32(t.value, out + off + 4);
    off += 8;
  }
}

queue_record decode_queue_record(const unsigned char* in) {
  queue_record r;
  get_text(in, r.path);
  if (path_has_room(r.path)) r.serial = ld::get_le32(in + kQueueSerialOffset);
  get_text(in + 200, r.displayname);
  size_t off = 400;
  for (int32_t* f : int_fields(r)) {
    *f = get_i32(in + off);
    off += 4;
  }
  for (queue_tag& t : r.tags) {
    t.id = get_i32(in + off);
    t.value = get_i32(in + off + 4);
    off += 8;
  }
  r.ntags = std::clamp(r.ntags, 0, kQueueMaxTags);
  return r;
}

bool same_job(const queue_record& a, const queue_record& b) {
  return std::strncmp(a.path, b.path, kQueueTextSize) == 0 && a.added_time == b.added_time &&
         (path_has_room(a.path) ? a.serial : 0) == (path_has_room(b.path) ? b.serial : 0);
}

void set_record_text(char (&field)[kQueueTextSize], std::string_view text) {
  size_t n = std::min(text.size(), kQueueTextSize - 1);
  n = std::min(n, text.find('\0'));
  std::memset(field, 0, kQueueTextSize);
  std::memcpy(field, text.data(), n);
}

std::string printq_dir() { return ld::rooted("/print/printq/"); }
std::string printq_filename() { return ld::rooted("/print/printq/printq"); }
std::string queue_lock() { return ld::rooted("/tmp/printq.lock"); }
std::string pause_printing_lock() { return ld::rooted("/print/printq/pause"); }

bool printq_owns_file(const std::string& path) {
  std::string dir = printq_dir();
  if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
  std::string name = path.substr(dir.size());
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

void set_process_name(std::string_view name) {
  size_t n = std::min(name.size(), sizeof g_process_name - 1);
  std::memcpy(g_process_name, name.data(), n);
  g_process_name[n] = '\0';
}

const char* process_name() { return g_process_name; }

void printq_set_clock(ld::Clock* c) { g_clock = c; }

// --- Queue file.

std::vector<queue_record> get_printq() {
  std::vector<queue_record> q;
  std::string path = printq_filename();
  std::string err;
  if (!ld::file_exists(path) || !read_queue(&q, &err)) {
    std::fprintf(stderr, "cannot open print queue %s\n", path.c_str());
    return {};
  }
  std::fprintf(stderr, "Number of jobs in printq = %d\n", static_cast<int>(q.size()));
  return q;
}

int write_pq(std::span<const queue_record> records) { return write_queue(records, "write_pq") ? 1 : 0; }

// --- Locked operations.

int add_to_queue(std::string_view path, std::string_view displayname, const queue_record& prepared) {
  QueueLock lock;
  if (!lock.held()) return 0;
  queue_record r = prepared;
  r.added_time = static_cast<int32_t>(queue_clock().now());
  r.printing = r.print_time = r.spooled = r.copies_sent = 0;
  set_record_text(r.path, path);
  r.serial = path_has_room(r.path) ? fresh_serial(queue_clock()) : 0;
  set_record_text(r.displayname, displayname);
  size_t len = std::strlen(r.displayname);
  if (len >= 4 && r.displayname[len - 4] == '.') r.displayname[len - 4] = '\0';

  std::vector<queue_record> q;
  std::string err;
  if (!read_queue(&q, &err)) {
    std::fprintf(stderr, "add_to_queue ERROR cannot open %s\n", printq_filename().c_str());
    return 0;
  }
  q.push_back(r);
  return write_queue(q, "add_to_queue") ? 1 : 0;
}

int printq_delete(int index) {
  QueueLock lock;
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(&q, "printq_delete")) return 0;
  if (index < 0 || static_cast<size_t>(index) >= q.size()) return 0;
  std::string file = q[index].path;
  const queue_record gone = q[index];
  q.erase(q.begin() + index);
  // The record goes first: a failed rewrite keeps both the record and its file.
  if (!write_queue(q, "printq_delete")) return 0;
  ld::record_queue_job_end(gone, ld::JobEnd::kRemoved, std::time(nullptr));
  std::string err;
  if (names_path(q, file))
    std::fprintf(stderr, "printq_delete ERROR %s is named by another job too, not removed\n", file.c_str());
  else if (!printq_owns_file(file))
    std::fprintf(stderr, "printq_delete ERROR %s is not in %s, not removed\n", file.c_str(), printq_dir().c_str());
  else if (!ld::remove_file(file, &err))
    std::fprintf(stderr, "printq_delete ERROR %s\n", err.c_str());
  return 1;
}

int printq_moveup(int index) { return index < 1 ? 0 : swap_records(index - 1, "printq_moveup"); }

int printq_movedown(int index) { return swap_records(index, "printq_movedown"); }

int printq_update_record(const queue_record& was, const queue_record& rec, const std::function<bool()>& under_lock,
                         std::string* err) {
  QueueLock lock;
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(&q, "printq_update_record", err); r != kMergeDone) return r;
  int i = find_job(q, was);
  if (i < 0) return kMergeGone;
  if (under_lock && !under_lock()) return kMergeFailed;  // the caller knows why
  q[i] = rec;
  return write_for_merge(q, "printq_update_record", err);
}

int printq_remove_record(const queue_record& was, const std::function<void(bool)>& under_lock, std::string* err) {
  QueueLock lock;
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(&q, "printq_remove_record", err); r != kMergeDone) return r;
  int i = find_job(q, was);
  if (i < 0) return kMergeGone;
  q.erase(q.begin() + i);
  if (int r = write_for_merge(q, "printq_remove_record", err); r != kMergeDone) return r;
  if (under_lock) under_lock(!names_path(q, was.path));
  return kMergeDone;
}

int printq_remove_unnamed(const std::string& path, std::string* err) {
  QueueLock lock;
  if (!lock.held()) return lock_failure(lock, err);
  std::vector<queue_record> q;
  if (int r = read_for_merge(&q, "printq_remove_unnamed", err); r != kMergeDone) return r;
  queue_record probe;
  set_record_text(probe.path, path);
  if (names_path(q, probe.path)) return 0;
  if (!printq_owns_file(path)) {
    set_err(err, path + " is not in " + printq_dir());
    return kMergeFailed;
  }
  std::string why;
  if (!ld::remove_file(path, &why)) {
    set_err(err, why);
    return kMergeFailed;
  }
  return 1;
}

// --- Locks and the pause flag.

int get_lock(const std::string& path) {
  std::string err;
  return take_lock(path, path != pause_printing_lock(), &err) == 1 ? 1 : 0;
}

int remove_lock(const std::string& path) {
  ::unlink(path.c_str());
  return 1;
}

int get_qlock() { return get_lock(queue_lock()); }
int remove_qlock() { return remove_lock(queue_lock()); }

QueueLock::QueueLock() {
  held_ = take_lock(queue_lock(), true, &error_) == 1;
  if (held_) error_.clear();
}

QueueLock::~QueueLock() {
  if (held_) remove_qlock();
}

int check_pause() { return ld::file_exists(pause_printing_lock()) ? 0 : 1; }
int pause_printing() {
  std::string err;
  return take_lock(pause_printing_lock(), false, &err) == 1 ? 1 : 0;
}
int resume_printing() { return remove_lock(pause_printing_lock()); }

// --- Diagnostics.

int dump_queue() {
  std::vector<queue_record> q = get_printq();
  std::printf("dump_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    print_job_head(r);
    std::printf("\t sp=%d q=%d f=%d t=%d cp=%d col=%d\n", r.spooled, r.quality, r.from, r.to, r.copies, r.collate);
    std::printf("\t t=%d: ", r.ntags);
    for (int i = 0; i < r.ntags; ++i) std::printf(" %x=%d ", static_cast<unsigned>(r.tags[i].id), r.tags[i].value);
    std::printf("\n");
  }
  std::fflush(stdout);
  return 1;
}

int check_queue() {
  QueueLock lock;
  if (!lock.held()) std::fprintf(stderr, "check_queue ERROR no queue lock, no file is removed\n");
  std::vector<queue_record> q = get_printq();
  std::printf("check_queue njobs = %d\n", static_cast<int>(q.size()));
  for (const queue_record& r : q) {
    ld::UniqueFd fd(::open(r.path, O_RDONLY | O_CLOEXEC));
    std::printf("%s", fd.valid() ? "OK\t" : "ERROR\t");
    print_job_head(r);
  }
  std::printf("files:\n");
  std::vector<std::string> names;
  std::string dir = printq_dir();
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* e = ::readdir(d))
      if (std::strstr(e->d_name, ".prn") != nullptr || std::strstr(e->d_name, ".spl") != nullptr)
        names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string full = dir + name;
    bool named = names_path(q, full);
    // A copy is only an orphan once it is old enough not to be one that is being queued (its
    // record follows the copy) or filtered (its output grows) right now.
    if (name.find(".prn") == std::string::npos && (named || !orphan_copy_age_reached(full))) continue;
    std::printf("<%s> %s\n", full.c_str(), named ? "OK   " : "ERROR");
    if (named || !lock.held()) continue;
    std::printf("rm %s\n", ld::esc_sh(full).c_str());
    std::fflush(stdout);
    std::string err;
    if (!ld::remove_file(full, &err)) std::fprintf(stderr, "check_queue ERROR %s\n", err.c_str());
  }
  std::printf("%s\n", std::string(42, '_').c_str());
  std::fflush(stdout);
  return 1;
}
