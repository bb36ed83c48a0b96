#include "spooler/queue_config.h"

#include <unistd.h>

#include <algorithm>

#include "common/paths.h"

std::string printer_status_path() { return ld::rooted("/var/www/html/cgi-bin/system.json"); }

namespace spooler {

std::string ctime_text(time_t t) {
  char buf[64];
  if (::ctime_r(&t, buf) == nullptr) return "?\n";
  return buf;
}

std::string printq_dir() { return ld::rooted("/print/printq/"); }
std::string printq_filename() { return ld::rooted("/print/printq/printq"); }
std::string queue_lock() { return ld::rooted("/tmp/printq.lock"); }
std::string pause_printing_lock() { return ld::rooted("/print/printq/pause"); }

Config named_config(std::string_view name) {
  Config cfg;
  cfg.process_name = std::string(name);
  return cfg;
}

bool printq_owns_file(const Config& cfg, const std::string& path) {
  const std::string& dir = cfg.dir;
  if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
  std::string name = path.substr(dir.size());
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

std::string lock_text(const Config& cfg) {
  std::string name = cfg.process_name.substr(0, kProcessNameMax);
  name.resize(std::min(name.size(), name.find('\0')));
  return name + " " + std::to_string(::getpid()) + ":" + ctime_text(cfg.clock->now()) + "\n";
}

}  // namespace spooler
