#include "common/ui_log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

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

namespace ld {

namespace {

constexpr int kClientTimeoutMs = 5000;

long long now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

UiLog::~UiLog() {
  std::lock_guard<std::mutex> hold(mu_);
  wait_pending();
}

void UiLog::warn_lost(const std::string& why) {
  if (!warned_.exchange(true))
    std::fprintf(err_, "event log: %s; event lines are lost\n", why.c_str());
}

// The client's start has finished (reported when it failed); pid_ is set when it runs.
void UiLog::join_starter() {
  if (!starter_.joinable()) return;
  starter_.join();
  if (start_rc_ != 0) warn_lost("cannot run " + client_ + ": " + std::strerror(start_rc_));
}

// Waits for the running client until its deadline, then stops it.
void UiLog::wait_pending() {
  join_starter();
  if (pid_ < 0) return;
  int status = 0;
  for (;;) {
    pid_t w = ::waitpid(pid_, &status, WNOHANG);
    if (w == pid_ || (w < 0 && errno != EINTR)) break;
    long long left = deadline_ - now_ms();
    if (left <= 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
#ifdef SYS_pidfd_open
    int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
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
  pid_ = -1;
}

void UiLog::start(std::string_view text) {
  std::unique_lock<std::mutex> hold(mu_);
  wait_pending();
  const std::string line = ui_log_line(text);
  const std::string client = ld::rooted("/home/pi/log_client");
  // The line goes into the pipe before the client exists, so writing it can neither block nor
  // meet a reader that has gone; one too long for the pipe is handed over the waiting way.
  int p[2];
  if (line.size() > 4096 || ::access(client.c_str(), X_OK) != 0 || ::pipe2(p, O_CLOEXEC) != 0) {
    hold.unlock();
    log(text);
    return;
  }
  bool written = ::write(p[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(p[1]);
  if (!written) {
    ::close(p[0]);
    hold.unlock();
    log(text);
    return;
  }
  client_ = client;
  start_rc_ = 0;
  deadline_ = now_ms() + kClientTimeoutMs;
  // The thread writes start_rc_ and pid_ only; they are read after it is joined.
  auto begin = [this, fd = p[0]] {
    int pid = -1;
    start_rc_ = ld::start_program(client_, fd, &pid);
    ::close(fd);
    pid_ = start_rc_ == 0 ? pid : -1;
  };
  try {
    starter_ = std::thread(begin);
  } catch (const std::system_error&) {
    begin();  // no thread to be had: started here, as before
    if (start_rc_ != 0) warn_lost("cannot run " + client + ": " + std::strerror(start_rc_));
  }
}

void UiLog::started() {
  std::lock_guard<std::mutex> hold(mu_);
  join_starter();
}

void UiLog::log(std::string_view text) {
  {
    std::lock_guard<std::mutex> hold(mu_);
    wait_pending();
  }
  ld::RunOptions opt;
  opt.stdin_text = ui_log_line(text);
  opt.timeout_ms = kClientTimeoutMs;
  std::string err;
  // -1: not started at all (missing, not executable, or its folder closed to this user, as a
  // 0700 home is to the services' www-data); every event line of this program is lost then.
  if (ld::run_program({ld::rooted("/home/pi/log_client")}, opt, &err) == -1) warn_lost(err);
}

void log_event(const EventSink& sink, std::string_view text) {
  if (sink) {
    sink(text);
  } else {
    UiLog(stderr).log(text);
  }
}

}  // namespace ld
