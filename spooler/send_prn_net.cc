#include "spooler/send_prn_net.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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

void put_text(const char (&field)[kQueueTextSize], unsigned char* out) {
  std::memcpy(out, field, kQueueTextSize);
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
// never leaves a torn queue. Messages name `who`.
bool write_queue(std::span<const queue_record> records, const char* who) {
  std::string path = printq_filename();
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  ld::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) {
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
    ::unlink(tmp.c_str());
  }
  return error == 0;
}

// Holds the queue lock for one read-modify-write step.
class QueueLock {
 public:
  QueueLock() : held_(get_qlock() == 1) {}
  ~QueueLock() {
    if (held_) remove_qlock();
  }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

bool read_locked(std::vector<queue_record>* q, const char* who) {
  std::string err;
  if (read_queue(q, &err)) return true;
  std::fprintf(stderr, "%s ERROR cannot read %s: %s\n", who, printq_filename().c_str(), err.c_str());
  return false;
}

// Index of the first record whose stored path equals `path` as a record would store it.
int find_path(const std::vector<queue_record>& q, std::string_view path) {
  queue_record probe;
  set_record_text(probe.path, path);
  for (size_t i = 0; i < q.size(); ++i)
    if (std::strcmp(q[i].path, probe.path) == 0) return static_cast<int>(i);
  return -1;
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

// Removes the lock at `path` when the process named in it is gone and the file is old enough.
// Several programs may find the same stale lock at once: each takes flock(2) on the stale file
// itself and removes the path only while it still names that very file, so no program ever
// removes a lock that another one has taken since.
bool break_stale_lock(const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  char buf[256];
  long n = ld::read_full(fd.get(), buf, sizeof buf);
  if (n <= 0) return false;
  int pid = lock_pid(std::string(buf, static_cast<size_t>(n)));
  if (pid == 0 || pid == ::getpid()) return false;
  if (::kill(pid, 0) == 0 || errno != ESRCH) return false;
  if (queue_clock().now() - st.st_mtime < kStaleLockAge) return false;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  struct stat cur;
  if (::lstat(path.c_str(), &cur) != 0 || cur.st_ino != st.st_ino || cur.st_dev != st.st_dev) return false;
  if (::unlink(path.c_str()) != 0) return false;
  std::fprintf(stderr, "LOCK STALE %s: process %d is gone, lock removed\n", path.c_str(), pid);
  return true;
}

// 1 created, 0 exists, -1 cannot be created (reported).
int create_lock(const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    if (errno == EEXIST) return 0;
    std::fprintf(stderr, "get_lock ERROR cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return -1;
  }
  std::string text = std::string(g_process_name) + " " + std::to_string(::getpid()) + ":" + ctime_text(queue_clock().now()) + "\n";
  if (!ld::write_all(fd.get(), text.data(), text.size()) || ::close(fd.release()) != 0) {
    std::fprintf(stderr, "get_lock ERROR cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    ::unlink(path.c_str());
    return -1;
  }
  return 1;
}

int take_lock(const std::string& path, bool break_stale) {
  int budget = 5;
  for (;;) {
    int r = create_lock(path);
    if (r == 0 && break_stale && break_stale_lock(path)) r = create_lock(path);
    if (r != 0) return r == 1 ? 1 : 0;
    if (budget == 0) return 0;
    --budget;
    std::fprintf(stderr, "LOCK EXISTS %s\n", path.c_str());
    queue_clock().sleep_ms(1000);
  }
}

void print_job_head(const queue_record& r) {
  std::printf("file: %s <%s>", r.path, r.displayname);
  std::printf("\t %d %s", r.printing, ctime_text(r.added_time).c_str());
}

}  // namespace

// --- Records.

void encode_queue_record(const queue_record& r, unsigned char* out) {
  put_text(r.path, out);
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
  q.erase(q.begin() + index);
  // The record goes first: a failed rewrite keeps both the record and its file.
  if (!write_queue(q, "printq_delete")) return 0;
  std::string err;
  if (!printq_owns_file(file))
    std::fprintf(stderr, "printq_delete ERROR %s is not in %s, not removed\n", file.c_str(), printq_dir().c_str());
  else if (!ld::remove_file(file, &err))
    std::fprintf(stderr, "printq_delete ERROR %s\n", err.c_str());
  return 1;
}

int printq_moveup(int index) { return index < 1 ? 0 : swap_records(index - 1, "printq_moveup"); }

int printq_movedown(int index) { return swap_records(index, "printq_movedown"); }

int printq_update_record(std::string_view path, const queue_record& rec, const std::function<bool()>& under_lock) {
  QueueLock lock;
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(&q, "printq_update_record")) return -1;
  int i = find_path(q, path);
  if (i < 0) return 0;
  if (under_lock && !under_lock()) return -1;
  q[i] = rec;
  return write_queue(q, "printq_update_record") ? 1 : -1;
}

int printq_remove_path(std::string_view path) {
  QueueLock lock;
  std::vector<queue_record> q;
  if (!lock.held() || !read_locked(&q, "printq_remove_path")) return -1;
  int i = find_path(q, path);
  if (i < 0) return 0;
  q.erase(q.begin() + i);
  return write_queue(q, "printq_remove_path") ? 1 : -1;
}

// --- Locks and the pause flag.

int get_lock(const std::string& path) { return take_lock(path, path != pause_printing_lock()); }

int remove_lock(const std::string& path) {
  ::unlink(path.c_str());
  return 1;
}

int get_qlock() { return get_lock(queue_lock()); }
int remove_qlock() { return remove_lock(queue_lock()); }

int check_pause() { return ld::file_exists(pause_printing_lock()) ? 0 : 1; }
int pause_printing() { return take_lock(pause_printing_lock(), false); }
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
      if (std::strstr(e->d_name, ".prn") != nullptr) names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string full = dir + name;
    bool named = std::any_of(q.begin(), q.end(), [&](const queue_record& r) { return full == r.path; });
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
