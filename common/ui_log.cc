#include "common/ui_log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/paths.h"
#include "common/run.h"

std::string ui_log_line(std::string_view text) {
  std::string line(text);
  // The client takes one record per line: a line break inside a text (a job name can carry
  // one) would make a second record of the sender's choosing.
  for (char& c : line)
    if (c == '\r' || c == '\n') c = '?';
  line.push_back('\n');
  return line;
}

namespace {
// Said once per process: a program that logs often would otherwise fill its error log with the
// same line.
std::atomic<bool> warned{false};
}  // namespace

namespace {

constexpr int kClientTimeoutMs = 5000;

void warn_lost(const std::string& why) {
  if (!warned.exchange(true)) std::fprintf(stderr, "event log: %s; event lines are lost\n", why.c_str());
}

long long now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The client left running by ui_log_start, and the thread that starts it: starting a program
// holds the caller until the program is under way (about a millisecond on the board), which a
// page need not wait for.
struct Pending {
  pid_t pid = -1;
  long long deadline = 0;
  std::thread starter;
  int start_rc = 0;
  std::string client;
};
Pending pending;

// The client's start has finished (reported when it failed); pending.pid is set when it runs.
void join_starter() {
  if (!pending.starter.joinable()) return;
  pending.starter.join();
  if (pending.start_rc != 0) warn_lost("cannot run " + pending.client + ": " + std::strerror(pending.start_rc));
}

// Waits for the running client until its deadline, then stops it.
void wait_pending() {
  join_starter();
  if (pending.pid < 0) return;
  int status = 0;
  for (;;) {
    pid_t w = ::waitpid(pending.pid, &status, WNOHANG);
    if (w == pending.pid || (w < 0 && errno != EINTR)) break;
    long long left = pending.deadline - now_ms();
    if (left <= 0) {
      ::kill(pending.pid, SIGKILL);
      while (::waitpid(pending.pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
#ifdef SYS_pidfd_open
    int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pending.pid, 0));
    if (pfd >= 0) {
      pollfd p{pfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
      ::close(pfd);
      continue;
    }
#endif
    struct timespec nap {0, 5 * 1000 * 1000};
    ::nanosleep(&nap, nullptr);
  }
  pending.pid = -1;
}

}  // namespace

void ui_log_start(std::string_view text) {
  wait_pending();
  const std::string line = ui_log_line(text);
  const std::string client = ld::rooted("/home/pi/log_client");
  // The line goes into the pipe before the client exists, so writing it can neither block nor
  // meet a reader that has gone; one too long for the pipe is handed over the waiting way.
  int p[2];
  if (line.size() > 4096 || ::access(client.c_str(), X_OK) != 0 || ::pipe2(p, O_CLOEXEC) != 0) {
    ui_log(text);
    return;
  }
  bool written = ::write(p[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(p[1]);
  if (!written) {
    ::close(p[0]);
    ui_log(text);
    return;
  }
  static bool hooked = std::atexit(wait_pending) == 0;
  (void)hooked;
  pending.client = client;
  pending.start_rc = 0;
  pending.deadline = now_ms() + kClientTimeoutMs;
  auto start = [fd = p[0]] {
    int pid = -1;
    pending.start_rc = ld::start_program(pending.client, fd, &pid);
    ::close(fd);
    pending.pid = pending.start_rc == 0 ? pid : -1;
  };
  try {
    pending.starter = std::thread(start);
  } catch (const std::system_error&) {
    start();  // no thread to be had: started here, as before
    if (pending.start_rc != 0) warn_lost("cannot run " + client + ": " + std::strerror(pending.start_rc));
  }
}

void ui_log_started() { join_starter(); }

void ui_log(std::string_view text) {
  wait_pending();
  ld::RunOptions opt;
  opt.stdin_text = ui_log_line(text);
  opt.timeout_ms = kClientTimeoutMs;
  std::string err;
  // -1: not started at all (missing, not executable, or its folder closed to this user, as a
  // 0700 home is to the services' www-data); every event line of this program is lost then.
  if (ld::run_program({ld::rooted("/home/pi/log_client")}, opt, &err) == -1) warn_lost(err);
}

void ui_log_reset_warning() { warned = false; }
