#include "spooler/printer_send.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/endpoints.h"
#include "common/handles.h"
#include "common/net.h"
#include "common/paths.h"
#include "webkit/json.h"

int check_printer_status(const spooler::Config& cfg) {
  const std::string& path = cfg.status_doc;
  // A document that cannot be examined counts as one modified at the epoch: stale.
  struct stat st;
  time_t modified = ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
  long long age = static_cast<long long>(cfg.clock->now()) - static_cast<long long>(modified);
  // A modification time in the future (a clock set back) cannot vouch for the printer either.
  if (age >= kStatusMaxAgeSeconds || age <= -kStatusMaxAgeSeconds) {
    char when[64] = "?\n";
    ::ctime_r(&modified, when);
    std::fprintf(cfg.err, "Last modified time: %s diff %lu\n", when,
                 static_cast<unsigned long>(age < 0 ? -age : age));
    return 0;
  }

  JsonTree doc = JsonTree::load(path, cfg.err);
  if (!doc) {
    std::fprintf(cfg.err, "could not load %s\n", path.c_str());
    return 0;
  }
  JsonNode* state = getJSONObject("system.SystemState", doc.top());
  if (state == nullptr || state->type == JSON_OBJECT || state->type == JSON_ARRAY) {
    std::fputs("could not get printer status\n", cfg.err);
    return 0;
  }
  if (state->value != "Online") {
    std::fprintf(cfg.err, "printer status %s\n", state->value.c_str());
    return 0;
  }
  std::fputs("check_printer_status ok\n", cfg.err);
  return 1;
}

namespace {

// Acknowledgements wake nobody: while part of the job still waits here, the send queue is
// looked at again this often.
constexpr int kDrainPollMs = 20;
constexpr size_t kDrainReadBuffer = 65536;

long long monotonic_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Bytes sent on the connection that the printer has not acknowledged yet (the half-close counts
// as one until the printer has it). A socket that cannot tell counts as all acknowledged.
long unacked_bytes(int fd) {
  int n = 0;
  if (::ioctl(fd, SIOCOUTQ, &n) != 0 || n < 0) return 0;
  return n;
}

// A reset that arrives after the printer closed its side shows only here.
bool socket_error(int fd, std::string* err) {
  int soerr = 0;
  socklen_t len = sizeof soerr;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0 || soerr == 0) return false;
  *err = std::strerror(soerr);
  return true;
}

}  // namespace

std::optional<SendEnd> drain_next(const DrainView& v, const DrainLimits& limits) {
  if (v.unacked == 0) {
    if (v.printer_closed || v.idle_ms >= limits.hold_ms) return SendEnd::kTaken;
    return std::nullopt;
  }
  if (v.idle_ms >= limits.stall_ms) return SendEnd::kStalled;
  return std::nullopt;
}

long printer_unacked_bytes(int fd) { return unacked_bytes(fd); }

SendEnd finish_send(int fd, const DrainLimits& limits,
                    const std::function<bool(std::string_view report)>& on_report,
                    std::string* err, const std::function<void(long unacked)>& on_wait) {
  if (::shutdown(fd, SHUT_WR) != 0) {
    *err = std::strerror(errno);
    return SendEnd::kBroken;
  }
  std::vector<char> buf(kDrainReadBuffer);
  DrainView v;
  long least = unacked_bytes(fd);
  long long progress_at = monotonic_ms();
  for (;;) {
    v.unacked = unacked_bytes(fd);
    if (on_wait) on_wait(v.unacked);
    long long now = monotonic_ms();
    if (v.unacked < least) {
      least = v.unacked;
      progress_at = now;
    }
    v.idle_ms = static_cast<long>(now - progress_at);
    if (std::optional<SendEnd> end = drain_next(v, limits)) {
      if (*end == SendEnd::kStalled)
        *err = "the printer took none of the last " + std::to_string(v.unacked) + " bytes for " +
               std::to_string(v.idle_ms / 1000) + " s";
      return *end;
    }
    int wait = v.unacked > 0 ? kDrainPollMs : static_cast<int>(limits.hold_ms - v.idle_ms);
    if (v.printer_closed) {
      if (socket_error(fd, err)) return SendEnd::kBroken;
      ::poll(nullptr, 0, wait);
      continue;
    }
    if (ld::wait_readable(fd, wait) == 0) continue;
    ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) {
      if (on_report(std::string_view(buf.data(), static_cast<size_t>(n))))
        return SendEnd::kCancelled;
    } else if (n == 0) {
      v.printer_closed = true;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      *err = std::strerror(errno);
      return SendEnd::kBroken;
    }
  }
}
