#include "spooler/pjlsend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "common/endpoints.h"
#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/hexcode.h"
#include "common/net.h"
#include "spooler/jobhistory.h"
#include "spooler/printer_send.h"
#include "spooler/printq.h"

namespace spooler {

namespace {

constexpr char kCancel[] = "CANCEL";
constexpr size_t kCancelLen = sizeof kCancel - 1;

const char* const kHeaderLines[] = {
    "@PJL INFO STATUS\r\n",
    "@PJL USTATUS JOB = ON\r\n",
    "@PJL USTATUS PAGE = ON\r\n",
    "@PJL USTATUS DEVICE = ON\r\n",
    "@PJL USTATUS TIMED = 30\r\n",
};
constexpr char kJobOpen[] = "\x1b%-12345X@PJL JOB WNAME = \"";
constexpr char kJobClose[] = "\"\r\n";

// Sends all bytes; MSG_NOSIGNAL so that a printer hanging up fails the send instead of ending
// the program (the job browser links this too). False with errno set on failure.
bool send_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EPIPE;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// How the job's bytes go out. While someone watches the send, the send time-out is cut into
// ticks of a second so that `on_progress` hears how far the printer got, about once a second,
// also while a piece waits; the send is still given up only once the printer took nothing for
// `timeout_ms`. Without a watcher the time-out is the socket's own.
struct WatchedSend {
  const std::function<void(int64_t)>& on_progress;
  int timeout_ms;
  int64_t written = 0;
  long long told_at = -1;  // when on_progress last heard
};

long long steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Tells the watcher how far the printer got, at most about once a second (asking the socket
// costs a system call, and a piece takes a fraction of a millisecond while the printer keeps up).
void tell_progress(int fd, WatchedSend* w, long long now, bool waiting) {
  if (!w->on_progress || (!waiting && w->told_at >= 0 && now - w->told_at < 1000)) return;
  w->told_at = now;
  w->on_progress(w->written - printer_unacked_bytes(fd));
}

// Moves up to `n` bytes onto the connection `fd` with `step(want)` (a send from memory, or a
// sendfile from the job file) until all went or `step` returns 0 (the file ended). The bytes
// moved; *ok false, with errno set, when the send failed or timed out (EAGAIN).
template <typename Step>
size_t move_bytes(int fd, size_t n, WatchedSend* w, Step step, bool* ok) {
  *ok = true;
  size_t done = 0;
  long long moved_at = steady_ms();
  while (done < n) {
    const ssize_t sent = step(n - done);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      w->written += sent;
      moved_at = steady_ms();
      tell_progress(fd, w, moved_at, false);
      continue;
    }
    if (sent == 0) break;
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && w->on_progress) {
      const long long now = steady_ms();
      if (now - moved_at < w->timeout_ms) {
        tell_progress(fd, w, now, true);
        continue;
      }
    }
    if (errno == EWOULDBLOCK) errno = EAGAIN;
    *ok = false;
    break;
  }
  return done;
}

// The job file, piece by piece. The kernel moves a piece from the file to the socket itself
// (sendfile: no copy through this program, one system call in place of a read and a send); a
// file it cannot do that for goes through a buffer of ours. sendfile has no MSG_NOSIGNAL: a
// printer hanging up fails it with EPIPE because every program ignores SIGPIPE from its start
// (ld::ignore_sigpipe).
class FilePieces {
 public:
  FilePieces(int sock, int file, WatchedSend* w) : sock_(sock), file_(file), w_(w) {
    struct stat st;
    const off_t at = ::lseek(file, 0, SEEK_CUR);
    if (::fstat(file, &st) == 0 && S_ISREG(st.st_mode) && at >= 0) left_ = st.st_size - at;
  }
  // The next piece of up to kPjlFileBuffer bytes onto the connection: the bytes sent, 0 at the
  // end of the file, -1 with errno set on failure (*read_failed when the file could not be read).
  long next(bool* read_failed) {
    *read_failed = false;
    planned_ = left_ > 0 ? static_cast<long>(std::min<int64_t>(left_, kPjlFileBuffer))
                         : static_cast<long>(kPjlFileBuffer);
    bool ok = true;
    if (kernel_) {
      size_t n = move_bytes(
          sock_, kPjlFileBuffer, w_,
          [&](size_t want) { return ::sendfile(sock_, file_, nullptr, want); }, &ok);
      left_ -= static_cast<int64_t>(n);
      if (ok) return static_cast<long>(n);
      if (n > 0 || (errno != EINVAL && errno != ENOSYS)) {
        *read_failed = errno == EIO;
        return -1;
      }
      kernel_ = false;  // not for this file: the piece goes through our buffer
    }
    if (buf_.empty()) buf_.resize(kPjlFileBuffer);
    const long got = ld::read_full(file_, buf_.data(), buf_.size());
    if (got <= 0) {
      *read_failed = got < 0;
      return got;
    }
    planned_ = got;
    const char* data = buf_.data();
    move_bytes(
        sock_, static_cast<size_t>(got), w_,
        [&](size_t want) {
          ssize_t r = ::send(sock_, data, want, MSG_NOSIGNAL);
          if (r > 0) data += r;
          if (r == 0) {  // a send that moves nothing is no end of the file: the connection is gone
            errno = EPIPE;
            r = -1;
          }
          return r;
        },
        &ok);
    return ok ? got : -1;
  }
  // The bytes the last piece was to hold: for a failure's message.
  long planned() const { return planned_; }

 private:
  int sock_, file_;
  WatchedSend* w_;
  bool kernel_ = true;
  int64_t left_ = -1;  // bytes of the file still to send, when it is a regular file
  long planned_ = 0;
  std::vector<char> buf_;
};

bool send_piece(FILE* err, int fd, const std::string& piece, const std::string& path) {
  if (send_all(fd, piece.data(), piece.size())) return true;
  std::fprintf(err, "ERROR: Failed to send %lu bytes from file %s %d.\n",
               static_cast<unsigned long>(piece.size()), path.c_str(), errno);
  return false;
}

// After a failed send: the send time-out ran out (the printer took nothing), or another error.
SendResult failed_send(int error) {
  return error == EAGAIN || error == EWOULDBLOCK ? SendResult::kStalled : SendResult::kFailed;
}

// Prints every address the printer alias resolves to ("  IPv4: ..."); false when it resolves
// to none. The connection itself prefers the IPv4 ones (ld::tcp_connect).
bool list_printer_addresses(FILE* out, const std::string& host) {
  const std::vector<ld::HostAddress> addresses = ld::resolve_host(host);
  if (addresses.empty()) return false;
  for (const ld::HostAddress& a : addresses)
    std::fprintf(out, "  %s: %s\n", a.ipv4 ? "IPv4" : "IPv6", a.text.c_str());
  std::fflush(out);
  return true;
}

// Logs a report of the printer; true when the reports so far cancel the job.
bool printer_report(FILE* err, std::string_view text, CancelWatch* cancel) {
  std::fprintf(err, "read %d bytes from printer <%s>\n", static_cast<int>(text.size()),
               std::string(text).c_str());
  return cancel->feed(text);
}

// Runs a merge of the queue store until it is through (the record was changed, or it is gone).
// A lock that stays taken or a full disk only delays it: a copy that went out is recorded, never
// sent again because a write failed. Each new reason is printed, then once a minute.
int keep_trying(const Config& cfg, const std::function<int(std::string*)>& step,
                const std::string& what) {
  std::string last;
  for (long attempt = 0;; ++attempt) {
    std::string err;
    int r = step(&err);
    if (r == kMergeDone || r == kMergeGone) return r;
    const std::string why = r == kMergeBusy ? "" : err;
    if (why != last || attempt % 60 == 0) {
      if (r == kMergeBusy) std::fprintf(cfg.out, "cannot get lock\n");
      else
        std::fprintf(cfg.out, "cannot record that %s: %s; trying again\n", what.c_str(),
                     why.c_str());
      std::fflush(cfg.out);
      last = why;
    }
    cfg.clock->sleep_ms(1000);
  }
}

// Takes a finished job out of the queue: the very job that was sent, wherever the job browser
// moved it meanwhile. Its file goes under the queue lock, and only while no other record names
// it (a job deleted and queued again meanwhile may have the same name). False when the job had
// left the queue already (a user removed it, and that went into the history).
bool remove_job(const Config& cfg, const queue_record& job) {
  const std::string path = job.path;
  auto step = [&](std::string* err) {
    return printq_remove_record(
        cfg, job,
        [&](bool file_free) {
          std::fprintf(cfg.out, "run %s\n", ("rm " + ld::esc_sh(path)).c_str());
          std::fflush(cfg.out);
          std::string why;
          if (!file_free)
            std::fprintf(cfg.err, "print_first: %s belongs to another job now, not removed\n",
                         path.c_str());
          else if (!printq_owns_file(cfg, path))
            std::fprintf(cfg.err, "print_first: %s is not in %s, not removed\n", path.c_str(),
                         cfg.dir.c_str());
          else if (!ld::remove_file(path, &why))
            std::fprintf(cfg.err, "print_first: %s\n", why.c_str());
        },
        err);
  };
  if (keep_trying(cfg, step, path + " is done") != kMergeGone) return true;
  std::fprintf(cfg.err, "print_first: %s is no longer in the queue\n", path.c_str());
  return false;
}

// A job that left the queue by this sender's hand goes into the history.
void remove_and_record(const Config& cfg, const queue_record& job, ld::JobEnd end) {
  if (remove_job(cfg, job)) ld::record_queue_job_end(job, end, cfg.clock->now(), cfg.err);
}

// After a whole copy of a job that is sent once per copy: no send under way any more.
void record_copy_sent(const Config& cfg, const queue_record& job) {
  queue_record done = job;
  done.printing = 0;
  auto step = [&](std::string* err) { return printq_update_record(cfg, job, done, {}, err); };
  keep_trying(cfg, step,
              std::string(job.path) + " copy " + std::to_string(job.copies_sent) + " went out");
}

// Under the queue lock: marks the head as being sent and writes the queue. False (nothing
// written) when it cannot be written: a send that the queue does not record could be repeated
// for ever. A head whose `printing` is still 1 was being sent when its sender died: that copy
// is sent again and not counted twice.
bool record_send_start(const Config& cfg, std::vector<queue_record>& q) {
  queue_record& head = q[0];
  std::fprintf(cfg.out, "dump_queue njobs = %d\n", static_cast<int>(q.size()));
  const int copy = head.printing == 1 && head.copies_sent > 0 ? head.copies_sent - 1 : head.copies_sent;
  head.printing = 1;
  head.print_time = static_cast<int32_t>(cfg.clock->now());
  std::fprintf(cfg.out, "printing file: %s copy %d of %d (%d)\n", head.path, copy, head.copies,
               head.send_copies);
  std::fflush(cfg.out);
  head.copies_sent = copy + 1;
  if (write_pq(cfg, q) == 1) return true;
  std::fprintf(cfg.err, "print_first: the queue cannot be written, %s is not sent\n", head.path);
  return false;
}

}  // namespace

std::string pjl_hex_name(std::string_view path) { return ld::hex_text(ld::base_name(path), false); }

std::vector<HeaderPiece> pjl_job_header(std::string_view path) {
  std::vector<HeaderPiece> h{{kJobOpen}, {pjl_hex_name(path)}, {kJobClose}};
  for (const char* line : kHeaderLines) h.push_back({line, true});
  return h;
}

bool CancelWatch::feed(std::string_view text) {
  tail_.append(text);
  bool found = tail_.find(kCancel) != std::string::npos;
  if (tail_.size() >= kCancelLen) tail_.erase(0, tail_.size() - (kCancelLen - 1));
  return found;
}

int send_header(int fd, const std::string& text, FILE* err) {
  if (send_all(fd, text.data(), text.size())) return 1;
  std::fprintf(err, "ERROR: Failed to send <%s>  errno %d.\n", text.c_str(), errno);
  return 0;
}

int send_timeout_seconds() {
  const char* text = std::getenv("LABELDOCK_SEND_TIMEOUT");
  if (text == nullptr || *text == '\0' || std::strlen(text) > 5) return kDefaultSendTimeout;
  for (const char* c = text; *c != '\0'; ++c)
    if (*c < '0' || *c > '9') return kDefaultSendTimeout;
  int v = std::atoi(text);
  return v >= 1 && v <= 86400 ? v : kDefaultSendTimeout;
}

SendResult pjl_send(const Config& cfg, const std::string& path, int file_fd, int timeout_ms,
                    const std::function<void(int64_t taken)>& on_progress) {
  const std::string host = ld::printer_host();
  const int port = ld::printer_raw_port();
  if (!list_printer_addresses(cfg.out, host)) {
    std::fputs("ERROR: Failed to connect to the printer!\n", cfg.err);
    return SendResult::kFailed;
  }
  // A missing job is a failed send: the loop drops it and goes on with the next one.
  ld::UniqueFd opened;
  if (file_fd < 0) {
    opened.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!opened.valid()) {
      std::fprintf(cfg.err, "ERROR: File %s not found.\n", path.c_str());
      return SendResult::kFailed;
    }
    file_fd = opened.get();
  }
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect(host, port, kPrintConnectTimeoutMs, &err);
  if (!sock.valid()) {
    std::fputs("ERROR: Failed to connect to the printer!\n", cfg.err);
    return SendResult::kFailed;
  }
  return send_job(cfg.err, sock.get(), pjl_job_header(path), file_fd, path, timeout_ms,
                  on_progress);
}

SendResult send_job(FILE* err, int fd, const std::vector<HeaderPiece>& header, int file_fd,
                    const std::string& path, int timeout_ms,
                    const std::function<void(int64_t taken)>& on_progress) {
  // A printer that takes nothing for the time-out is given up; the reports are read without
  // waiting.
  ld::set_socket_timeouts(fd, 0, on_progress ? std::min(timeout_ms, 1000) : timeout_ms);
  WatchedSend watched{on_progress, timeout_ms};

  for (const HeaderPiece& piece : header) {
    if (piece.command ? send_header(fd, piece.text, err) == 1
                      : send_piece(err, fd, piece.text, path))
      continue;
    return failed_send(errno);
  }

  std::vector<char> reply(kPjlReplyBuffer + 1);
  CancelWatch cancel;
  FilePieces pieces(fd, file_fd, &watched);
  for (;;) {
    bool read_failed = false;
    const long n = pieces.next(&read_failed);
    if (n < 0 && read_failed) {
      std::fprintf(err, "ERROR: Cannot read %s %d.\n", path.c_str(), errno);
      return SendResult::kFailed;
    }
    if (n < 0) {
      const int error = errno;
      std::fprintf(err, "ERROR: Failed to send %d bytes from file %s %d.\n",
                   static_cast<int>(pieces.planned()), path.c_str(), error);
      return failed_send(error);
    }
    if (n == 0) break;
    ssize_t r;
    do r = ::recv(fd, reply.data(), kPjlReplyBuffer, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r > 0 &&
        printer_report(err, std::string_view(reply.data(), static_cast<size_t>(r)), &cancel)) {
      std::fputs("Job cancelled\n\n", err);
      return SendResult::kCancelled;
    }
  }
  // The printer may report after the last piece; hanging up on it would cost the end of the job.
  DrainLimits limits;
  limits.stall_ms = timeout_ms;
  std::string why;
  SendEnd end = finish_send(
      fd, limits, [&](std::string_view text) { return printer_report(err, text, &cancel); }, &why,
      [&](long unacked) {
        if (on_progress) on_progress(watched.written - unacked);
      });
  switch (end) {
    case SendEnd::kTaken:
      return SendResult::kSent;
    case SendEnd::kCancelled: std::fputs("Job cancelled\n\n", err); return SendResult::kCancelled;
    case SendEnd::kStalled:
    case SendEnd::kBroken:
      break;
  }
  std::fprintf(err, "ERROR: The printer did not take the end of file %s: %s.\n", path.c_str(),
               why.c_str());
  return end == SendEnd::kStalled ? SendResult::kStalled : SendResult::kFailed;
}

bool job_finished(const queue_record& r) {
  return r.printing == 0 && r.copies_sent > 0 && (r.send_copies == 0 || r.copies_sent >= r.copies);
}

int print_first(const Config& cfg, ld::StuckWatchdog* watch) {
  queue_record head;
  // Open and flock(2)ed for the whole send and its recording: a second sender sees that the
  // head is being sent and leaves it alone. The kernel lets go when this program dies.
  ld::UniqueFd file;
  {
    QueueLock lock(cfg);
    if (!lock.held()) {
      if (!lock.busy()) std::fprintf(cfg.err, "print_first: %s\n", lock.error().c_str());
      return 0;
    }
    std::vector<queue_record> q = get_printq(cfg);
    if (q.empty() || q[0].spooled == 0) return 0;
    if (!job_finished(q[0])) {
      file.reset(::open(q[0].path, O_RDONLY | O_CLOEXEC));
      if (file.valid() && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(cfg.err, "print_first: %s is being sent by another program\n", q[0].path);
        return 0;
      }
      if (!record_send_start(cfg, q)) return 0;
    }
    head = q[0];
  }
  if (job_finished(head)) {
    std::fprintf(cfg.err, "print_first: %s went out before, it is only taken out of the queue\n",
                 head.path);
    remove_and_record(cfg, head, ld::JobEnd::kSent);
    return 1;
  }

  const std::string path = head.path;
  const int timeout = send_timeout_seconds();
  std::function<void(int64_t)> progress;
  if (watch != nullptr) {
    watch->begin(head);
    progress = [watch](int64_t taken) { watch->progress(taken); };
  }
  const SendResult result =
      pjl_send(cfg, path, file.valid() ? file.get() : -1, timeout * 1000, progress);
  switch (result) {
    case SendResult::kStalled:
      std::fprintf(cfg.err,
                   "print_first: the printer took no data for %d seconds, %s stays at the head of "
                   "the queue\n",
                   timeout, path.c_str());
      return 1;
    case SendResult::kFailed:
    case SendResult::kCancelled: {
      std::fputs("fatal error - failed to send print job\n", cfg.err);
      remove_and_record(
          cfg, head,
          result == SendResult::kCancelled ? ld::JobEnd::kCancelled : ld::JobEnd::kFailed);
      return 1;
    }
    case SendResult::kSent:
      if (head.send_copies == 0 || head.copies_sent >= head.copies) {
        remove_and_record(cfg, head, ld::JobEnd::kSent);
      } else {
        record_copy_sent(cfg, head);
      }
      return 1;
  }
  return 1;
}

int print_all(const Config& given) {
  ld::UiLog events(given.err);
  Config cfg = given;
  if (!cfg.log) cfg.log = events.sink();
  ld::Clock& clock = *cfg.clock;
  ld::StuckWatchdog watch(clock, ld::real_stuck_probes(cfg));
  for (;;) {
    for (;;) {
      int online = check_printer_status(cfg);
      int go = check_pause(cfg);
      if (online == 1 && go == 1) break;
      // An offline printer or a paused queue explains the wait: no job is stuck meanwhile.
      watch.idle();
      std::fprintf(cfg.out, "wait  %d\n", go);
      std::fflush(cfg.out);
      clock.sleep_ms(1000);
    }
    if (print_first(cfg, &watch) != 1) break;
    clock.sleep_ms(1000);
  }
  watch.idle();
  return 1;
}

}  // namespace spooler
