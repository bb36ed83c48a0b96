// Helpers for tests that run the real programs: a temporary appliance root, free loopback
// ports, child processes with their output captured to files, and polling with a deadline.
#pragma once
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testkit {

// A fresh folder under $TMPDIR (or /tmp) holding the appliance's directories; removed with
// everything in it when the object goes. Sets LABELDOCK_ROOT for this process while it lives.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // The root-prefixed form of an appliance path ("/print/prns/x.prn").
  std::string operator()(const std::string& appliance_path) const { return path_ + appliance_path; }
  // Installs a log client that appends every line it reads to "<root>/log_client.out".
  void install_recording_log_client() const;
  std::string log_client_output() const;

 private:
  std::string path_;
  std::string old_root_;
  bool had_root_ = false;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port();

// Path of a program of this build (build/bin/<name>).
std::string bin(const std::string& name);

class Process {
 public:
  // Starts argv with the current environment plus `env`; standard output and error go to
  // files in a temporary folder, readable with out() and err(); standard input reads
  // `stdin_file` (default /dev/null).
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
          const std::string& stdin_file = "/dev/null");
  ~Process();  // kills (SIGTERM, then SIGKILL) and reaps
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits for the exit; returns the exit status (128+signal when killed), -1 on time-out.
  int wait(int timeout_ms = 30000);
  void kill(int sig = 15);
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string dir_;     // temporary folder holding the output files
  std::string prefix_;  // path of the output files without ".out" / ".err"
};

// Runs a program to its end and returns its exit status; output into *out / *err when given.
int run(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr,
        const std::map<std::string, std::string>& env = {}, const std::string& stdin_text = "");

// Polls `cond` every 10 ms until it holds or timeout_ms pass.
bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000);
// Waits until something accepts connections on 127.0.0.1:port.
bool wait_for_port(int port, int timeout_ms = 10000);

std::string slurp(const std::string& path);

// How often `what` occurs in `text` (overlapping occurrences count).
int count_of(const std::string& text, const std::string& what);
void spit(const std::string& path, const std::string& data);
// Names in a folder, sorted (without "." and "..").
std::vector<std::string> list_dir(const std::string& path);

}  // namespace testkit
