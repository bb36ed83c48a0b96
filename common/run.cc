#include "common/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/handles.h"

extern char** environ;

namespace ld {
namespace {

long long now_ms() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool make_pipe(UniqueFd* r, UniqueFd* w, std::string* err) {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) {
    if (err) *err = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  r->reset(p[0]);
  w->reset(p[1]);
  return true;
}

// A descriptor that becomes readable when the process ends (Linux 5.3 and later); invalid where
// the kernel (or the emulator running this program) has none.
UniqueFd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return {};
#endif
}

// What every program started here gets: SIGPIPE at its default, whatever this process does
// with it (every labeldock program ignores it), since they expect the usual end on a closed pipe.
struct SpawnDefaults {
  posix_spawnattr_t attr;
  SpawnDefaults() {
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnDefaults() { posix_spawnattr_destroy(&attr); }
  SpawnDefaults(const SpawnDefaults&) = delete;
  SpawnDefaults& operator=(const SpawnDefaults&) = delete;
};

// The child as it is started: the descriptors it gets and the one that tells of its end.
struct Child {
  pid_t pid = -1;
  UniqueFd in_w;    // its standard input
  UniqueFd out_r;   // its standard output, when captured
  UniqueFd end_fd;  // readable (pidfd) or hung up (the end pipe) once it has ended
};

// Starts the program. Without pidfds the child inherits the write end of an "end pipe", whose
// read end hangs up once the child (and whatever it started that kept the pipe) has ended.
bool spawn_child(const std::vector<std::string>& argv, const RunOptions& opt, Child* c,
                 std::string* err) {
  bool use_pidfd = !opt.without_pidfd && open_pidfd(::getpid()).valid();
  UniqueFd in_r, out_w, end_w;
  if (!make_pipe(&in_r, &c->in_w, err)) return false;
  bool capture = !opt.discard_output && opt.capture != nullptr;
  if (capture && !make_pipe(&c->out_r, &out_w, err)) return false;
  if (!use_pidfd && !make_pipe(&c->end_fd, &end_w, err)) return false;

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
  // Duplicating a descriptor onto itself clears its close-on-exec flag in the child only.
  if (end_w.valid()) posix_spawn_file_actions_adddup2(&fa, end_w.get(), end_w.get());
  SpawnDefaults attr;
  int rc = ::posix_spawn(&c->pid, args[0], &fa, &attr.attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    if (err) *err = "cannot run " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  if (use_pidfd) c->end_fd = open_pidfd(c->pid);
  ::fcntl(c->in_w.get(), F_SETFL, O_NONBLOCK);
  if (c->out_r.valid()) ::fcntl(c->out_r.get(), F_SETFL, O_NONBLOCK);
  return true;
}

// Takes what the child has written so far; false once the pipe is at its end.
bool read_output(int fd, std::string* capture) {
  char buf[4096];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r > 0) {
      capture->append(buf, static_cast<size_t>(r));
      continue;
    }
    return r < 0 && (errno == EAGAIN || errno == EINTR);
  }
}

// Feeds the input, gathers the output and waits for the child's end, all in one poll, until it
// has ended (true) or the deadline (0: none) has passed (false).
bool pump(Child& c, const std::string& text, std::string* capture, long long deadline) {
  size_t off = 0;
  for (;;) {
    if (c.in_w.valid() && off >= text.size()) c.in_w.reset();
    pollfd fds[3] = {{c.end_fd.get(), POLLIN, 0}};
    nfds_t n = 1;
    if (c.in_w.valid()) fds[n++] = {c.in_w.get(), POLLOUT, 0};
    if (c.out_r.valid()) fds[n++] = {c.out_r.get(), POLLIN, 0};
    int wait = -1;
    if (deadline != 0) {
      long long left = deadline - now_ms();
      if (left <= 0) return false;
      wait = static_cast<int>(left);
    }
    int ready = ::poll(fds, n, wait);
    if (ready < 0 && errno != EINTR) return false;
    for (nfds_t i = 1; ready > 0 && i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == c.in_w.get()) {
        ssize_t w = ::write(c.in_w.get(), text.data() + off, text.size() - off);
        if (w > 0) off += static_cast<size_t>(w);
        else if (w < 0 && errno != EAGAIN && errno != EINTR) c.in_w.reset();  // it stopped reading
      } else if (!read_output(c.out_r.get(), capture)) {
        c.out_r.reset();
      }
    }
    if (ready > 0 && fds[0].revents != 0) {
      // Everything the child wrote is in the pipe now; what it left running may write on, but
      // that is not waited for.
      if (c.out_r.valid()) read_output(c.out_r.get(), capture);
      return true;
    }
  }
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

void ignore_sigpipe() {
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ::sigaction(SIGPIPE, &ign, nullptr);
}

int run_program(const std::vector<std::string>& argv, const RunOptions& opt, std::string* err) {
  if (argv.empty()) {
    if (err) *err = "no program given";
    return -1;
  }
  if (::access(argv[0].c_str(), X_OK) != 0) {
    if (err) *err = "cannot run " + argv[0] + ": " + std::strerror(errno);
    return -1;
  }
  Child child;
  if (!spawn_child(argv, opt, &child, err)) return -1;

  long long deadline = opt.timeout_ms > 0 ? now_ms() + opt.timeout_ms : 0;
  bool ended = child.end_fd.valid() && pump(child, opt.stdin_text, opt.capture, deadline);
  child.in_w.reset();
  child.out_r.reset();
  // Past the deadline (or with no way to watch it) the program is stopped, so the wait below
  // cannot block for ever.
  if (!ended) {
    ::kill(child.pid, SIGKILL);
    if (err)
      *err = child.end_fd.valid() ? argv[0] + " took too long and was stopped"
                                  : argv[0] + " cannot be watched";
  }
  int status = 0;
  pid_t w;
  do w = ::waitpid(child.pid, &status, 0);
  while (w < 0 && errno == EINTR);
  return w == child.pid ? exit_code(status) : -1;
}

int start_program(const std::string& path, int stdin_fd, int* pid) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, stdin_fd, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  SpawnDefaults attr;
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t child = -1;
  const int rc = ::posix_spawn(&child, path.c_str(), &fa, &attr.attr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc == 0) *pid = child;
  return rc;
}

}  // namespace ld
