#include "testkit/scenario.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/fsops.h"
#include "common/net.h"

extern char** environ;

namespace testkit {
namespace {

std::string make_temp_dir(const char* prefix) {
  const char* t = std::getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/" + prefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

}  // namespace

TempRoot::TempRoot() {
  path_ = make_temp_dir("labeldock-root.");
  for (const char* d : {"/print/prns/tmp", "/print/prns/thumbs", "/print/tmp", "/print/printq",
                        "/print/log", "/tmp", "/var/www/html/cgi-bin", "/home/pi"})
    ld::make_dirs(path_ + d);
  const char* old = std::getenv("LABELDOCK_ROOT");
  had_root_ = old != nullptr;
  if (old) old_root_ = old;
  ::setenv("LABELDOCK_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (had_root_) ::setenv("LABELDOCK_ROOT", old_root_.c_str(), 1);
  else ::unsetenv("LABELDOCK_ROOT");
  ld::remove_tree(path_);
}

void TempRoot::install_recording_log_client() const {
  std::string client = path_ + "/home/pi/log_client";
  spit(client, "#!/bin/sh\ncat >> '" + path_ + "/log_client.out'\n");
  ::chmod(client.c_str(), 0755);
}

std::string TempRoot::log_client_output() const { return slurp(path_ + "/log_client.out"); }

int free_port() {
  std::string err;
  ld::UniqueFd fd = ld::tcp_listen(0, 1, true, &err);
  return fd.valid() ? ld::local_port(fd.get()) : -1;
}

std::string bin(const std::string& name) {
#ifdef LABELDOCK_BIN_DIR
  return std::string(LABELDOCK_BIN_DIR) + "/" + name;
#else
  return name;
#endif
}

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& stdin_file) {
  dir_ = make_temp_dir("labeldock-proc.");
  prefix_ = dir_ + "/" + ld::base_name(argv[0]);
  // The environment: ours, with `env` laid over it (an empty value removes a variable).
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv = *e;
    size_t eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) {
    if (v.empty()) vars.erase(k);
    else vars[k] = v;
  }
  std::vector<std::string> env_text;
  for (const auto& [k, v] : vars) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& kv : env_text) envp.push_back(kv.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // posix_spawn, not fork: fork is not usable under qemu-arm, where the unit tests also run.
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, stdin_file.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, (prefix_ + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, (prefix_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int rc = ::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    pid_ = -1;
    reaped_ = true;
    status_ = 127;
    spit(prefix_ + ".err", "cannot start " + argv[0] + ": " + std::strerror(rc) + "\n");
  }
}

Process::~Process() {
  kill(SIGTERM);
  if (wait(2000) == -1 && !reaped_) {
    kill(SIGKILL);
    wait(5000);
  }
  ld::remove_tree(dir_);
}

bool Process::running() {
  if (reaped_ || pid_ <= 0) return false;
  int st;
  pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

int Process::wait(int timeout_ms) {
  if (wait_until([&] { return !running(); }, timeout_ms)) return status_;
  return -1;
}

void Process::kill(int sig) {
  if (!reaped_ && pid_ > 0) ::kill(pid_, sig);
}

std::string Process::out() const { return slurp(prefix_ + ".out"); }
std::string Process::err() const { return slurp(prefix_ + ".err"); }

int run(const std::vector<std::string>& argv, std::string* out, std::string* err,
        const std::map<std::string, std::string>& env, const std::string& stdin_text) {
  std::string in_file = "/dev/null";
  std::string tmp_dir;
  if (!stdin_text.empty()) {
    tmp_dir = make_temp_dir("labeldock-in.");
    in_file = tmp_dir + "/stdin";
    spit(in_file, stdin_text);
  }
  int st;
  {
    Process p(argv, env, in_file);
    st = p.wait(300000);
    if (out) *out = p.out();
    if (err) *err = p.err();
  }
  if (!tmp_dir.empty()) ld::remove_tree(tmp_dir);
  return st;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool wait_for_port(int port, int timeout_ms) {
  return wait_until(
      [&] {
        std::string err;
        return ld::tcp_connect("127.0.0.1", port, 200, &err).valid();
      },
      timeout_ms);
}

std::string slurp(const std::string& path) {
  std::string s;
  ld::read_file(path, &s);
  return s;
}

void spit(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  ld::write_all(fd, data.data(), data.size());
  ::close(fd);
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = ::opendir(path.c_str());
  if (!d) return names;
  while (struct dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace testkit
