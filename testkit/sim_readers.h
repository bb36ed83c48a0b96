// readersim as a test sees it: started for a list of models under the test's appliance root,
// waited for until its ports are published, its control file replaced in one step, its log
// searched line by line.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "testkit/scenario.h"

namespace testkit {

class SimReaders {
 public:
  // Starts readersim with "--dir dir" and one module per entry of `models` ("ru5102" or
  // "ru5202"); LABELDOCK_ROOT must name the test's root. Waits until the ports are published.
  SimReaders(const std::string& dir, const std::vector<std::string>& models);
  ~SimReaders() = default;
  SimReaders(const SimReaders&) = delete;
  SimReaders& operator=(const SimReaders&) = delete;

  // False (with error()) when it did not come up.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Module i's name ("ttyUSB0") and its device as the daemon opens it (the root-prefixed
  // "/dev/ttyUSB0").
  std::string name(size_t i) const { return "ttyUSB" + std::to_string(i); }
  std::string device(size_t i) const;
  const std::string& dir() const { return dir_; }
  Process& process() { return *proc_; }

  // Replaces the control file in one step; every frame sent after it is answered by it.
  bool control(const std::string& text);
  std::string log() const;
  // Waits for a log line equal to `line`, or (prefix) beginning with it.
  bool log_has(const std::string& line, int timeout_ms = 20000) const;
  bool log_has_prefix(const std::string& start, int timeout_ms = 20000) const;
  // Lines of the log beginning with `start`.
  int log_count(const std::string& start) const;

 private:
  std::string dir_, error_;
  std::unique_ptr<Process> proc_;
};

}  // namespace testkit
