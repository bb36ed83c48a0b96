#include "spooler/pjlsend.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/endpoints.h"
#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "spooler/printer_link.h"
#include "spooler/send_prn_net.h"

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

bool send_piece(int fd, const std::string& piece, const std::string& path) {
  if (send_all(fd, piece.data(), piece.size())) return true;
  std::fprintf(stderr, "ERROR: Failed to send %lu bytes from file %s %d.\n",
               static_cast<unsigned long>(piece.size()), path.c_str(), errno);
  return false;
}

// Prints every address the printer alias resolves to ("  IPv4: ..."); false when it resolves
// to none. The connection itself prefers the IPv4 ones (ld::tcp_connect).
bool list_printer_addresses(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || res == nullptr) return false;
  for (addrinfo* a = res; a != nullptr; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = "?";
    const void* addr = a->ai_family == AF_INET
                           ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                           : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    ::inet_ntop(a->ai_family, addr, text, sizeof text);
    std::printf("  %s: %s\n", a->ai_family == AF_INET ? "IPv4" : "IPv6", text);
  }
  ::freeaddrinfo(res);
  std::fflush(stdout);
  return true;
}

// Logs a report of the printer; true when the reports so far cancel the job.
bool printer_report(std::string_view text, CancelWatch* cancel) {
  std::fprintf(stderr, "read %d bytes from printer <%s>\n", static_cast<int>(text.size()),
               std::string(text).c_str());
  return cancel->feed(text);
}

// Takes a finished job out of the queue, by its path: the job browser may have moved or
// deleted it while it was being sent. Its file goes only once its record is gone.
void remove_finished(const std::string& path, ld::Clock& clock) {
  for (int attempt = 0; attempt < kRemoveAttempts; ++attempt) {
    int r = printq_remove_path(path);
    if (r == 0) {
      // Deleted meanwhile, file and all; a file of that name now belongs to a newer job.
      std::fprintf(stderr, "print_first: %s is no longer in the queue\n", path.c_str());
      return;
    }
    if (r == 1) {
      std::printf("run %s\n", ("rm " + ld::esc_sh(path)).c_str());
      std::fflush(stdout);
      std::string err;
      if (!printq_owns_file(path))
        std::fprintf(stderr, "print_first: %s is not in %s, not removed\n", path.c_str(), printq_dir().c_str());
      else if (!ld::remove_file(path, &err))
        std::fprintf(stderr, "print_first: %s\n", err.c_str());
      return;
    }
    clock.sleep_ms(1);
    std::printf("cannot get lock\n");
    std::fflush(stdout);
  }
}

}  // namespace

std::string pjl_hex_name(std::string_view path) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = ld::base_name(path);
  std::string hex;
  hex.reserve(name.size() * 2);
  for (unsigned char c : name) {
    hex.push_back(kHex[c >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  return hex;
}

std::string pjl_header(std::string_view path) {
  std::string h = kJobOpen + pjl_hex_name(path) + kJobClose;
  for (const char* line : kHeaderLines) h += line;
  return h;
}

bool CancelWatch::feed(std::string_view text) {
  tail_.append(text);
  bool found = tail_.find(kCancel) != std::string::npos;
  if (tail_.size() >= kCancelLen) tail_.erase(0, tail_.size() - (kCancelLen - 1));
  return found;
}

int send_header(int fd, const std::string& text) {
  if (send_all(fd, text.data(), text.size())) return 1;
  std::fprintf(stderr, "ERROR: Failed to send <%s>  errno %d.\n", text.c_str(), errno);
  return 0;
}

int print_pjl(const std::string& path) {
  const std::string host = ld::printer_host();
  const int port = ld::printer_raw_port();
  if (!list_printer_addresses(host, port)) {
    std::fputs("ERROR: Failed to connect to the printer!\n", stderr);
    return 0;
  }
  // A missing job is a failed send: the loop drops it and goes on with the next one.
  ld::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    std::fprintf(stderr, "ERROR: File %s not found.\n", path.c_str());
    return 0;
  }
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect(host, port, kPrintConnectTimeoutMs, &err);
  if (!sock.valid()) {
    std::fputs("ERROR: Failed to connect to the printer!\n", stderr);
    return 0;
  }
  // A printer that takes nothing for minutes is given up; the reports are read without waiting.
  ld::set_socket_timeouts(sock.get(), 0, kPrintSendTimeoutMs);

  if (!send_piece(sock.get(), kJobOpen, path) || !send_piece(sock.get(), pjl_hex_name(path), path) ||
      !send_piece(sock.get(), kJobClose, path))
    return 0;
  for (const char* line : kHeaderLines)
    if (send_header(sock.get(), line) == 0) return 0;

  std::vector<char> buf(kPjlFileBuffer);
  std::vector<char> reply(kPjlReplyBuffer + 1);
  CancelWatch cancel;
  for (;;) {
    long n = ld::read_full(file.get(), buf.data(), buf.size());
    if (n < 0) {
      std::fprintf(stderr, "ERROR: Cannot read %s %d.\n", path.c_str(), errno);
      return 0;
    }
    if (n == 0) break;
    if (!send_all(sock.get(), buf.data(), static_cast<size_t>(n))) {
      std::fprintf(stderr, "ERROR: Failed to send %d bytes from file %s %d.\n", static_cast<int>(n), path.c_str(),
                   errno);
      return 0;
    }
    ssize_t r;
    do r = ::recv(sock.get(), reply.data(), kPjlReplyBuffer, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r > 0 && printer_report(std::string_view(reply.data(), static_cast<size_t>(r)), &cancel)) {
      std::fputs("Job cancelled\n\n", stderr);
      return 0;
    }
  }
  // The printer may report after the last piece; hanging up on it would cost the end of the job.
  SendEnd end = finish_send(
      sock.get(), DrainLimits{},
      [&](std::string_view text) { return printer_report(text, &cancel); }, &err);
  if (end == SendEnd::kCancelled) std::fputs("Job cancelled\n\n", stderr);
  if (end == SendEnd::kBroken)
    std::fprintf(stderr, "ERROR: The printer did not take the end of file %s: %s.\n", path.c_str(),
                 err.c_str());
  return end == SendEnd::kTaken ? 1 : 0;
}

int print_first(ld::Clock& clock) {
  if (get_qlock() != 1) return 0;
  std::vector<queue_record> q = get_printq();
  if (q.empty() || q[0].spooled == 0) {
    remove_qlock();
    return 0;
  }
  std::printf("dump_queue njobs = %d\n", static_cast<int>(q.size()));
  queue_record& head = q[0];
  head.printing = 1;
  head.print_time = static_cast<int32_t>(clock.now());
  std::printf("printing file: %s copy %d of %d (%d)\n", head.path, head.copies_sent, head.copies, head.send_copies);
  std::fflush(stdout);
  head.copies_sent += 1;
  // A send that the queue does not record could be repeated for ever: no record, no send.
  int written = write_pq(q);
  remove_qlock();
  if (written != 1) {
    std::fprintf(stderr, "print_first: the queue cannot be written, %s is not sent\n", head.path);
    return 0;
  }

  const std::string path = head.path;
  if (print_pjl(path) == 0) {
    std::fputs("fatal error - failed to send print job\n", stderr);
    head.copies_sent = head.copies;
  }
  if (head.send_copies == 0 || head.copies_sent >= head.copies) remove_finished(path, clock);
  return 1;
}

int print_all(ld::Clock& clock) {
  for (;;) {
    for (;;) {
      int online = check_printer_status(clock);
      int go = check_pause();
      if (online == 1 && go == 1) break;
      std::printf("wait  %d\n", go);
      std::fflush(stdout);
      clock.sleep_ms(1000);
    }
    if (print_first(clock) != 1) return 1;
    clock.sleep_ms(1000);
  }
}
