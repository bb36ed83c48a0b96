#include "relay/ewsrelay.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <optional>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/net.h"
#include "relay/reply.h"

namespace ewsrelay {

namespace {

using Steady = std::chrono::steady_clock;

constexpr size_t kReadPiece = 65536;

int ms_left(Steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads one piece into the end of `reply`: bytes read, 0 when the server closed, -1 on error.
long read_piece(int fd, std::string* reply, size_t max) {
  size_t old = reply->size();
  reply->resize(old + max);
  ssize_t n;
  do n = ::recv(fd, reply->data() + old, max, 0);
  while (n < 0 && errno == EINTR);
  int saved = errno;
  reply->resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
  errno = saved;
  return n;
}

void write_text(FILE* f, std::string_view s) {
  if (!s.empty()) std::fwrite(s.data(), 1, s.size(), f);
}

}  // namespace

Target printer_target() {
  Target t;
  t.host = ld::printer_host();
  t.port = ld::printer_web_port();
  return t;
}

bool fetch(const Target& t, const std::string& request, Fetched* f, std::string* err) {
  const auto deadline = Steady::now() + std::chrono::milliseconds(t.time_limit_ms);
  std::string why;
  ld::UniqueFd fd = ld::tcp_connect(t.host, t.port, t.time_limit_ms, &why);
  if (!fd.valid()) {
    bool lookup = why.rfind("cannot resolve", 0) == 0;
    *err = std::string(lookup ? "ERROR, no such host: " : "ERROR connecting: ") + why + "\n";
    return false;
  }
  ld::set_socket_timeouts(fd.get(), 0, std::max(1, ms_left(deadline)));
  if (!ld::write_all(fd.get(), request.data(), request.size())) {
    *err = std::string("ERROR writing message to socket: ") + std::strerror(errno) + "\n";
    return false;
  }

  f->reply.clear();
  f->complete = false;
  f->problem.clear();
  ReplyWatch watch;
  for (;;) {
    ReplyWatch::State s = watch.update(f->reply);
    if (s != ReplyWatch::kWaiting) {
      // Broken framing is complete as far as reading goes; the relay reports the fault.
      f->complete = true;
      return true;
    }
    int left = ms_left(deadline);
    int ready = left > 0 ? ld::wait_readable(fd.get(), left) : 0;
    if (ready == 0) {
      f->problem = "no complete reply within " + std::to_string(t.time_limit_ms) + " ms";
      return true;
    }
    if (ready < 0) {
      f->problem = std::string("waiting for the reply: ") + std::strerror(errno);
      return true;
    }
    if (f->reply.size() == kReplyMax) {
      // Full: one more byte tells an exact fit (the server closes now) from an oversized reply.
      std::string probe;
      long n = read_piece(fd.get(), &probe, 1);
      if (n == 0 && watch.complete_at_close()) {
        f->complete = true;
      } else {
        f->problem = "reply longer than " + std::to_string(kReplyMax) + " bytes";
      }
      return true;
    }
    long n = read_piece(fd.get(), &f->reply, std::min(kReadPiece, kReplyMax - f->reply.size()));
    if (n == 0) {
      f->complete = watch.complete_at_close();
      if (!f->complete) f->problem = "connection closed before the end of the reply";
      return true;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      f->problem = std::string("reading the reply: ") + std::strerror(errno);
      return true;
    }
  }
}

int call(const Target& t, std::string_view method, std::string_view path,
         const std::string* output_file, FILE* out, FILE* err) {
  std::string why;
  if (!path_acceptable(path, &why)) {
    std::fprintf(err, "ERROR refusing path: %s\n", why.c_str());
    return 0;
  }
  Fetched f;
  if (!fetch(t, build_request(method, path), &f, &why)) {
    write_text(err, why);
    return 0;
  }
  if (!f.problem.empty()) std::fprintf(err, "ERROR %s:%d: %s\n", t.host.c_str(), t.port, f.problem.c_str());

  Relayed r = relay_reply(f.reply);
  const bool whole = r.whole && f.complete;
  write_text(out, r.head);
  if (output_file == nullptr) {
    write_text(out, r.body);
  } else if (!whole) {
    // A cut status document would stop all printing: better the previous copy than half of one.
    std::fprintf(err, "ERROR incomplete reply, %s left as it was\n", output_file->c_str());
  } else {
    std::fprintf(err, "flushing output file %s\n", output_file->c_str());
    if (!ld::write_file_atomic(*output_file, r.body, &why)) {
      std::fprintf(err, "Error openning %s\n", output_file->c_str());
      write_text(out, r.body);
    }
  }
  write_text(out, r.tail);
  write_text(err, r.errors);
  std::fflush(out);
  return whole ? 1 : 0;
}

int run(const char* query_string, const std::vector<std::string>& args, const Target& t, FILE* out,
        FILE* err) {
  std::string path = "/status/system";
  const std::string* output_file = nullptr;
  std::string why;
  std::optional<std::string> value;
  if (query_string != nullptr) value = getParam(query_string, "path", &why);
  if (value) {
    path = *value;
  } else if (!why.empty()) {
    std::fprintf(err, "ERROR refusing request: %s\n", why.c_str());
    return 0;
  } else if (!args.empty()) {
    std::fprintf(err, "%d args calling %s\n", static_cast<int>(args.size()), args[0].c_str());
    path = args[0];
    if (args.size() > 1) output_file = &args[1];
  }
  call(t, "GET", path, output_file, out, err);
  return 0;
}

}  // namespace ewsrelay
