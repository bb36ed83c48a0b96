#include "receiver/jobcatcher.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "common/paths.h"
#include "common/ui_log.h"
#include "library/folders.h"
#include "library/names.h"
#include "library/placing.h"
#include "spooler/jobname.h"
#include "spooler/jobstream.h"

namespace jobcatcher {
namespace {

constexpr char kPjlPrefix[] = "\x1b%-12345X@PJL JOB WNAME = \"";
constexpr size_t kPjlPrefixLen = sizeof kPjlPrefix - 1;  // 27
constexpr char kMagic[] = "JZJZ";

void log_line(const Config& cfg, const char* fmt, const std::string& a) {
  std::vector<char> buf(a.size() + std::strlen(fmt) + 1);
  std::snprintf(buf.data(), buf.size(), fmt, a.c_str());
  ld::log_event(cfg.log, buf.data());
}

// Copies [from, from + n) of `in` to the end of `out`: in the kernel where it can, else by reads.
bool copy_range(int in, int64_t from, int64_t n, int out) {
  loff_t off = from;
  // In slices, each handed to the disk as soon as it is copied, so the final sync finds most
  // of the job written already.
  constexpr int64_t kSlice = 16 << 20;
  off_t written = ::lseek(out, 0, SEEK_CUR);
  while (n > 0) {
    ssize_t c = ::copy_file_range(in, &off, out, nullptr, static_cast<size_t>(std::min<int64_t>(n, kSlice)), 0);
    if (c > 0) {
      n -= c;
      ::sync_file_range(out, written, c, SYNC_FILE_RANGE_WRITE);
      written += c;
      continue;
    }
    if (c < 0 && errno == EINTR) continue;
    if (c == 0) return false;  // the capture ended early
    break;                     // not supported here: fall back to reads
  }
  std::vector<char> buf(1 << 16);
  while (n > 0) {
    ssize_t r = ::pread(in, buf.data(), static_cast<size_t>(std::min<int64_t>(n, buf.size())), off);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    if (!ld::write_all(out, buf.data(), static_cast<size_t>(r))) return false;
    off += r;
    n -= r;
  }
  return true;
}

}  // namespace

std::string capture_path(int slot) {
  return ld::rooted(slot == 0 ? std::string("/print/tmp/upload.pjl")
                              : "/print/tmp/upload-" + std::to_string(slot) + ".pjl");
}

int64_t connection_time_left(int idle_timeout_s, int64_t bytes, int64_t elapsed_s) {
  return idle_timeout_s + std::max<int64_t>(bytes, 0) / kMinRate - elapsed_s;
}

namespace {

// The time a connection has, as a whole: each receive waits at most the idle time-out, and
// never beyond the end of the connection's allowance.
class Budget {
 public:
  Budget(int conn, const Config& cfg) : conn_(conn), cfg_(cfg), started_(cfg.clock->now()) {}
  int64_t left(int64_t received) const {
    return connection_time_left(cfg_.idle_timeout_s, received, static_cast<int64_t>(cfg_.clock->now() - started_));
  }
  // Sets the time-out of the next receive; false (and spent) when the allowance is over. The
  // clock counts whole seconds, so the last wait takes the allowance's final second whole.
  bool arm(int64_t received) {
    int64_t l = left(received);
    if (l < 0) {
      spent_ = true;
      return false;
    }
    int64_t wait = std::clamp<int64_t>(l, 1, cfg_.idle_timeout_s);
    short_wait_ = wait < cfg_.idle_timeout_s;
    ld::set_socket_timeouts(conn_, static_cast<int>(wait * 1000), 0);
    return true;
  }
  bool spent() const { return spent_; }
  // The last receive could wait less than the idle time-out: the allowance ended first.
  bool short_wait() const { return short_wait_; }
  int64_t elapsed() const { return static_cast<int64_t>(cfg_.clock->now() - started_); }

 private:
  int conn_;
  const Config& cfg_;
  time_t started_;
  bool spent_ = false;
  bool short_wait_ = false;
};

// Where the receive loop stands in the stream: a chunk header being gathered, or the bytes of
// a chunk body still to come.
struct ChunkState {
  unsigned char hdr[zjs::kHeaderSize];
  size_t hdr_len = 0;
  uint64_t remaining = 0;
  int pages = 0;
  // The stream ended with whole chunks and then exactly the 4-byte trailer, which arrives as
  // the start of a header that never completes.
  bool ended_cleanly() const { return remaining == 0 && hdr_len == 4; }
  // What the loop expected next, as reported on the console.
  long long expected() const {
    if (remaining > 0) return static_cast<long long>(remaining);
    if (hdr_len >= 4) return static_cast<long long>(zjs::decode_header(hdr).size) - static_cast<long long>(hdr_len);
    return static_cast<long long>(zjs::kHeaderSize - hdr_len);
  }
};

// Preamble phase: byte by byte until the stream's magic has arrived. Returns the last receive's
// result; *magic tells whether the magic came.
ssize_t read_preamble(int conn, Budget& budget, std::vector<unsigned char>* pre, bool* magic) {
  ssize_t rc = 0;
  *magic = false;
  while (pre->size() < kPreambleMax) {
    if (!budget.arm(static_cast<int64_t>(pre->size()))) break;
    unsigned char c;
    rc = ::recv(conn, &c, 1, 0);
    if (rc <= 0) break;
    pre->push_back(c);
    if (pre->size() >= 4 && std::memcmp(pre->data() + pre->size() - 4, kMagic, 4) == 0) {
      *magic = true;
      break;
    }
  }
  return rc;
}

// Chunk phase: 16-byte headers, bodies in pieces of at most kMaxRead bytes, each handed to
// `append` as it arrives. Headers are gathered even when they arrive in pieces. Returns the last
// receive's result; *rejected when the stream can be no job (the connection is then dropped).
template <typename Append>
ssize_t read_chunks(const Config& cfg, int conn, Budget& budget, ChunkState& st,
                    const int64_t& length, Append append, bool* rejected) {
  std::vector<unsigned char> block(kMaxRead);
  ssize_t rc = 0;
  for (;;) {
    size_t want = st.remaining > 0 ? static_cast<size_t>(std::min<uint64_t>(st.remaining, kMaxRead))
                                   : zjs::kHeaderSize - st.hdr_len;
    if (!budget.arm(length)) break;
    rc = ::recv(conn, block.data(), want, MSG_WAITALL);
    if (rc <= 0) break;
    size_t n = static_cast<size_t>(rc);
    append(block.data(), n);
    if (length > kCaptureMax) {
      std::fprintf(
          cfg.err,
          "ERROR capture longer than its 4-byte length trailer can state, connection closed\n");
      *rejected = true;
      break;
    }
    if (st.remaining > 0) {
      st.remaining -= n;
      continue;
    }
    std::memcpy(st.hdr + st.hdr_len, block.data(), n);
    st.hdr_len += n;
    if (st.hdr_len < zjs::kHeaderSize) continue;
    st.hdr_len = 0;
    const zjs::ChunkHeader chunk = zjs::decode_header(st.hdr);
    const uint32_t size = chunk.size;
    if (size < zjs::kHeaderSize) {
      std::fprintf(cfg.err, "ERROR invalid chunk size %u at byte %lld, connection closed\n", size,
                   static_cast<long long>(length - 16));
      *rejected = true;
      break;
    }
    if (chunk.type == zjs::START_PAGE) {
      ++st.pages;
      std::fprintf(cfg.out, "pagecount:%d\n", st.pages);
    }
    st.remaining = size - zjs::kHeaderSize;
  }
  return rc;
}

// Why receiving stopped, when it was not the sender's close.
void report_cut(ssize_t rc, int saved_errno, const Budget& budget, int64_t length, const Config& cfg) {
  bool timed_out = rc < 0 && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK);
  if (rc < 0) std::fprintf(cfg.out, "errno %d\n", saved_errno);
  if (budget.spent() || (timed_out && budget.short_wait()))
    std::fprintf(cfg.err,
                 "sender too slow: %lld bytes in %lld s (allowed: %d s and 1 s per %lld bytes), "
                 "connection closed\n",
                 static_cast<long long>(length), static_cast<long long>(budget.elapsed()),
                 cfg.idle_timeout_s, static_cast<long long>(kMinRate));
  else if (timed_out)
    std::fprintf(cfg.err, "sender idle for %d s, connection closed\n", cfg.idle_timeout_s);
}

}  // namespace

int receive(int conn, const Config& cfg, const std::string& path) {
  ld::make_dirs(ld::rooted("/print/tmp"));
  ld::UniqueFd cap(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!cap.valid()) {
    std::fprintf(cfg.err, "ERROR failed to open %s\n", path.c_str());
    return -1;
  }
  std::fprintf(cfg.out, "accept %d\n", conn);
  std::fflush(cfg.out);
  Budget budget(conn, cfg);

  int64_t length = 0;
  auto append = [&](const unsigned char* p, size_t n) {
    if (!ld::write_all(cap.get(), p, n)) std::fprintf(cfg.out, "\n Error : Fputs error");
    length += static_cast<int64_t>(n);
  };

  std::vector<unsigned char> pre;
  pre.reserve(1024);
  bool magic = false;
  ssize_t rc = read_preamble(conn, budget, &pre, &magic);
  append(pre.data(), pre.size());
  if (!magic && rc > 0 && !budget.spent()) {
    std::fprintf(cfg.err, "ERROR no job stream within the first %zu bytes, connection closed\n",
                 kPreambleMax);
    return -1;
  }
  ChunkState st;
  bool rejected = false;
  if (magic) rc = read_chunks(cfg, conn, budget, st, length, append, &rejected);
  int saved_errno = errno;

  std::fprintf(cfg.out, "finished %lld pages %d (%d,%lld)\n", static_cast<long long>(length),
               st.pages, static_cast<int>(rc), st.expected());
  report_cut(rc, saved_errno, budget, length, cfg);
  // However the trailer happens to read, a stream cut inside a chunk is no job.
  if (magic && !rejected && !st.ended_cleanly()) {
    if (st.remaining == 0 && st.hdr_len == 0)
      std::fprintf(cfg.err, "Invalid job stream: no length trailer after its last chunk\n");
    else
      std::fprintf(cfg.err, "Invalid job stream: it ends inside a chunk, %lld bytes short\n",
                   st.expected());
    rejected = true;
  }
  std::fflush(cfg.out);
  char text[128];
  std::snprintf(text, sizeof text, "finished %lld pages %d (%d)", static_cast<long long>(length),
                st.pages, static_cast<int>(rc));
  ld::log_event(cfg.log, text);
  if (::close(cap.release()) != 0) std::fprintf(cfg.out, "\n Error : Fputs error");
  return rejected ? -1 : st.pages;
}

std::string _char2utf8(const std::string& hex) { return jobname::decode_hex_name(hex); }

int _process(const Config& cfg, int pagecount, const std::string& path) {
  ld::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    std::fprintf(cfg.err, "ERROR failed to open %s\n", path.c_str());
    return 0;
  }
  struct stat st;
  int64_t length = ::fstat(fd.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  if (length < 100) {
    std::fprintf(cfg.err, "Invalid file length\n");
    return 0;
  }
  unsigned char trailer[4];
  if (::pread(fd.get(), trailer, 4, length - 4) != 4 || static_cast<int64_t>(val32(trailer)) != length) {
    std::fprintf(cfg.err, "Invalid received file length\n");
    return 0;
  }
  unsigned char window[kHeaderWindow + 1] = {};
  ssize_t got = ::pread(fd.get(), window, kHeaderWindow, 0);
  if (got < static_cast<ssize_t>(kPjlPrefixLen) || std::memcmp(window, kPjlPrefix, kPjlPrefixLen) != 0) {
    std::fprintf(cfg.err, "Invalid file header\n");
    return 0;
  }
  const void* m = ::memmem(window, static_cast<size_t>(got), kMagic, 4);
  if (m == nullptr) {
    std::fprintf(cfg.err, "Invalid file header: no job stream within the first %zu bytes\n",
                 kHeaderWindow);
    return 0;
  }
  int64_t offset = static_cast<const unsigned char*>(m) - window;

  // The name is at most kNameSearch digits and must end in its quote before the stream
  // begins; anything longer would take stream bytes or later PJL text for the job's name.
  size_t name_end = kPjlPrefixLen;
  size_t limit = std::min<size_t>(kPjlPrefixLen + kNameSearch + 1, static_cast<size_t>(offset));
  while (name_end < limit && window[name_end] != '"') ++name_end;
  if (name_end >= limit) {
    std::fprintf(cfg.err, "Invalid file header: the job name does not end within %zu bytes\n",
                 kNameSearch);
    return 0;
  }
  std::string hex(reinterpret_cast<char*>(window) + kPjlPrefixLen, name_end - kPjlPrefixLen);
  std::string name = _char2utf8(hex);
  std::fprintf(cfg.out, "%s\n", name.c_str());
  std::fflush(cfg.out);
  log_line(cfg, "capturing [%s]", std::string(name.c_str()));
  fd.reset();
  return _move_tempfile(cfg, name, length, offset, pagecount, path);
}

namespace {

// The START_DOC chunk as it will be stored, with the page-count item it must carry. False with
// *why when the stream does not begin with a whole START_DOC chunk of bounded size.
bool read_start_doc(const Config& cfg, int in, int64_t offset, int64_t consumed, int pagecount,
                    std::string* chunk, uint32_t* stored_len, std::string* why) {
  unsigned char head[zjs::kSignatureSize + zjs::kHeaderSize];
  if (consumed < static_cast<int64_t>(sizeof head) || ::pread(in, head, sizeof head, offset) != static_cast<ssize_t>(sizeof head)) {
    *why = "job stream too short";
    return false;
  }
  const zjs::ChunkHeader h = zjs::decode_header(head + zjs::kSignatureSize);
  std::fprintf(cfg.out, "job header len=%d %x  tags=%d\n", static_cast<int>(h.size), h.size,
               static_cast<int>(h.items));
  if (h.type != zjs::START_DOC) *why = "job stream does not begin with START_DOC";
  else if (h.size < zjs::kHeaderSize) *why = "START_DOC chunk size below 16";
  else if (h.size - zjs::kHeaderSize > kDocItemsMax) *why = "START_DOC items area above 4096 bytes";
  else if (static_cast<int64_t>(zjs::kSignatureSize + h.size) > consumed) *why = "START_DOC chunk cut short";
  if (!why->empty()) return false;
  std::string raw(h.size, '\0');
  if (::pread(in, raw.data(), raw.size(), offset + zjs::kSignatureSize) != static_cast<ssize_t>(raw.size())) {
    *why = "cannot read START_DOC items";
    return false;
  }
  *stored_len = h.size;
  bool inserted = false;
  if (!zjs::with_page_count(raw, static_cast<uint32_t>(pagecount), chunk, &inserted, why)) return false;
  std::fprintf(cfg.out, inserted ? "no ZJI_PAGECOUNT so insert\n" : "ZJI_PAGECOUNT found\n");
  *chunk = std::string(reinterpret_cast<const char*>(head), zjs::kSignatureSize) + *chunk;
  return true;
}

}  // namespace

int _move_tempfile(const Config& cfg, const std::string& name, int64_t length, int64_t offset,
                   int pagecount, const std::string& cap_path) {
  const std::string wait = library::waiting_dir();
  // A name free in the waiting folder and in the library, numbered when taken.
  library::Placement placing;
  placing.dir = wait;
  placing.free_in = {library::jobs_dir()};
  placing.name = library::job_file_name(name);
  placing.max_suffix = kMaxSuffix;
  const std::string first = library::first_free_name(placing);
  if (first.empty()) {
    std::fprintf(cfg.out, "file exists!\n");
    std::fflush(cfg.out);
    return 0;
  }
  const std::string target = wait + first;

  ld::UniqueFd in(::open(cap_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    std::fprintf(cfg.err, "ERROR failed to open %s\n", cap_path.c_str());
    return 0;
  }
  ld::make_dirs(wait);
  // The job is written under a hidden name that no reader of the waiting directory takes for a
  // job, and appears under its own name only once complete.
  library::ScratchFile out;
  std::string why;
  if (!out.create(wait, "incoming", ".part", &why)) {
    std::fprintf(cfg.err, "ERROR failed to open %s\n", target.c_str());
    return 0;
  }
  auto give_up = [&](const std::string& reason) {
    std::fprintf(cfg.err, "ERROR %s, job not stored\n", reason.c_str());
    return 0;
  };
  std::fprintf(cfg.out, "writing %s\n", target.c_str());
  std::fflush(cfg.out);
  log_line(cfg, "writing captured %s", target);

  const int64_t consumed = length - offset - 4;  // stream bytes, trailer excluded
  std::string head;
  uint32_t doc_len = 0;
  if (!read_start_doc(cfg, in.get(), offset, consumed, pagecount, &head, &doc_len, &why)) return give_up(why);
  std::fflush(cfg.out);
  const int64_t head_len = static_cast<int64_t>(zjs::kSignatureSize + doc_len);
  if (!ld::write_all(out.fd(), head.data(), head.size()) ||
      !copy_range(in.get(), offset + head_len, consumed - head_len, out.fd()) || !out.finish(&why))
    return give_up(why.empty() ? "cannot write " + out.path() + ": " + std::strerror(errno) : why);

  // Put the job in place without ever replacing a file that appeared meanwhile.
  placing.job = out.path();
  std::string stored;
  const library::Placed placed = library::place_job(placing, &stored, &why);
  if (placed == library::Placed::kNoName) {
    std::fprintf(cfg.out, "file exists!\n");
    std::fflush(cfg.out);
    return 0;
  }
  if (placed == library::Placed::kFailed) return give_up(why);
  out.release();
  std::fprintf(cfg.out, "write %lld\n", static_cast<long long>(consumed));
  std::fprintf(cfg.err, "/bin/rm \"%s\"\n", cap_path.c_str());
  std::fflush(cfg.out);
  ld::remove_file(cap_path);
  ld::touch_file(library::thumb_flag());
  return 1;
}

namespace {

// The receiving slots: which are busy, and a wait for a free one.
class Slots {
 public:
  explicit Slots(int n) : busy_(static_cast<size_t>(n), false) {}
  int take() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      for (size_t i = 0; i < busy_.size(); ++i)
        if (!busy_[i]) {
          busy_[i] = true;
          return static_cast<int>(i);
        }
      freed_.wait(lock);
    }
  }
  void give(int slot) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      busy_[static_cast<size_t>(slot)] = false;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mu_;
  std::condition_variable freed_;
  std::vector<bool> busy_;
};

// One connection, received into its slot's capture and stored when it holds a job.
void take_job(int conn, const Config& cfg, int slot) {
  ld::UniqueFd c(conn);
  const std::string cap = capture_path(slot);
  int pages = receive(c.get(), cfg, cap);
  c.reset();  // the sender learns at once that its job was taken
  if (pages >= 0) _process(cfg, pages, cap);
  std::fflush(cfg.out);
}

}  // namespace

int serve(int listen_fd, const Config& given) {
  ld::UiLog events(given.err);  // the connections' threads share it
  Config cfg = given;
  if (!cfg.log) cfg.log = events.sink();
  Slots slots(kMaxConnections);
  std::vector<std::thread> workers(static_cast<size_t>(kMaxConnections));
  auto join_all = [&] {
    for (std::thread& t : workers)
      if (t.joinable()) t.join();
  };
  for (;;) {
    const int slot = slots.take();
    std::thread& worker = workers[static_cast<size_t>(slot)];
    if (worker.joinable()) worker.join();  // its previous connection is done
    int conn = ld::tcp_accept(listen_fd);
    if (conn < 0) {
      int e = errno;
      slots.give(slot);
      if (e == EBADF || e == EINVAL || e == ENOTSOCK) {
        std::fprintf(cfg.err, "ERROR accept: %s\n", std::strerror(e));
        join_all();
        return 1;
      }
      cfg.clock->sleep_ms(1000);  // out of descriptors or similar: try again shortly
      continue;
    }
    try {
      worker = std::thread([&slots, &cfg, conn, slot] {
        take_job(conn, cfg, slot);
        slots.give(slot);
      });
    } catch (const std::system_error&) {
      // No thread to be had: this connection is received here, the others wait in the backlog.
      take_job(conn, cfg, slot);
      slots.give(slot);
    }
  }
}

}  // namespace jobcatcher
