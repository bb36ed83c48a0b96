#include "testkit/sim_readers.h"

#include "common/fsops.h"
#include "common/paths.h"

namespace testkit {
namespace {

bool has_line(const std::string& log, const std::string& text, bool prefix) {
  return ("\n" + log).find("\n" + text + (prefix ? "" : "\n")) != std::string::npos;
}

}  // namespace

SimReaders::SimReaders(const std::string& dir, const std::vector<std::string>& models) : dir_(dir) {
  ld::make_dirs(dir_);
  std::vector<std::string> argv{bin("readersim"), "--dir", dir_};
  for (const auto& m : models) {
    argv.push_back("--module");
    argv.push_back(m);
  }
  proc_ = std::make_unique<Process>(argv);
  if (!wait_until([&] { return ld::file_exists(dir_ + "/ports") || !proc_->running(); })) {
    error_ = "readersim published no ports";
  } else if (!ld::file_exists(dir_ + "/ports")) {
    error_ = "readersim did not start: " + proc_->err();
  }
}

std::string SimReaders::device(size_t i) const { return ld::rooted("/dev/" + name(i)); }

bool SimReaders::control(const std::string& text) {
  // The simulator reads the file again before it answers a frame, so what follows sees it.
  return ld::write_file_atomic(dir_ + "/control", text);
}

std::string SimReaders::log() const { return slurp(dir_ + "/readersim.log"); }

bool SimReaders::log_has(const std::string& line, int timeout_ms) const {
  return wait_until([&] { return has_line(log(), line, false); }, timeout_ms);
}

bool SimReaders::log_has_prefix(const std::string& start, int timeout_ms) const {
  return wait_until([&] { return has_line(log(), start, true); }, timeout_ms);
}

int SimReaders::log_count(const std::string& start) const { return count_of("\n" + log(), "\n" + start); }

}  // namespace testkit
