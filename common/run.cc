#include "common/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"

extern char** environ;

namespace ld {
namespace {

long now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int run_program(const std::vector<std::string>& argv, const RunOptions& opt, std::string* err) {
  if (argv.empty()) {
    if (err) *err = "no program given";
    return -1;
  }
  if (::access(argv[0].c_str(), X_OK) != 0) {
    if (err) *err = "cannot run " + argv[0] + ": " + std::strerror(errno);
    return -1;
  }
  int in_pipe[2], out_pipe[2] = {-1, -1};
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    if (err) *err = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  UniqueFd in_r(in_pipe[0]), in_w(in_pipe[1]);
  bool capture = !opt.discard_output && opt.capture != nullptr;
  UniqueFd out_r, out_w;
  if (capture) {
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
      if (err) *err = std::string("pipe: ") + std::strerror(errno);
      return -1;
    }
    out_r.reset(out_pipe[0]);
    out_w.reset(out_pipe[1]);
  }

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // posix_spawn rather than fork: nothing runs in the child before exec, and it also works
  // where fork is emulated poorly (the unit tests run under qemu-arm).
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in_r.get(), 0);
  if (capture) posix_spawn_file_actions_adddup2(&fa, out_w.get(), 1);
  else if (opt.discard_output) posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  if (opt.discard_output) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &fa, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    if (err) *err = "cannot run " + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  in_r.reset();
  out_w.reset();

  // The program may exit without reading its input: a broken pipe is no reason to die.
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ign, &old);
  ::fcntl(in_w.get(), F_SETFL, O_NONBLOCK);
  size_t off = 0;
  const std::string& text = opt.stdin_text;
  long deadline = opt.timeout_ms > 0 ? now_ms() + opt.timeout_ms : 0;
  bool timed_out = false;
  for (;;) {
    std::vector<pollfd> fds;
    if (in_w.valid()) {
      if (off >= text.size()) {
        in_w.reset();
      } else {
        fds.push_back({in_w.get(), POLLOUT, 0});
      }
    }
    if (out_r.valid()) fds.push_back({out_r.get(), POLLIN, 0});
    if (fds.empty()) break;
    int wait = deadline ? static_cast<int>(deadline - now_ms()) : -1;
    if (deadline && wait <= 0) {
      timed_out = true;
      break;
    }
    int n = ::poll(fds.data(), fds.size(), wait);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    for (auto& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in_w.get()) {
        ssize_t w = ::write(in_w.get(), text.data() + off, text.size() - off);
        if (w > 0) off += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EINTR) in_w.reset();
      } else if (p.fd == out_r.get()) {
        char buf[4096];
        ssize_t r = ::read(out_r.get(), buf, sizeof buf);
        if (r > 0) opt.capture->append(buf, static_cast<size_t>(r));
        else if (r == 0 || (errno != EINTR && errno != EAGAIN)) out_r.reset();
      }
    }
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  in_w.reset();
  out_r.reset();

  int status = 0;
  for (;;) {
    pid_t w = ::waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) return -1;
    if (w == 0) {
      if (deadline && now_ms() >= deadline) {
        timed_out = true;
        ::kill(pid, SIGKILL);
        continue;
      }
      ::usleep(1000);
    }
  }
  if (timed_out && err) *err = argv[0] + " took too long and was stopped";
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace ld
