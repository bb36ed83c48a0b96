#include "spooler/queue_config.h"

#include <algorithm>
#include <cstring>

#include "common/paths.h"

namespace spooler {

namespace {

char g_process_name[100] = "UNKNOWN";
ld::Clock* g_clock = nullptr;

}  // namespace

ld::Clock& queue_clock() { return g_clock != nullptr ? *g_clock : ld::system_clock(); }

// ctime(3) text of a time, with its newline.
std::string ctime_text(time_t t) {
  char buf[64];
  if (::ctime_r(&t, buf) == nullptr) return "?\n";
  return buf;
}

std::string printq_dir() { return ld::rooted("/print/printq/"); }
std::string printq_filename() { return ld::rooted("/print/printq/printq"); }
std::string queue_lock() { return ld::rooted("/tmp/printq.lock"); }
std::string pause_printing_lock() { return ld::rooted("/print/printq/pause"); }

bool printq_owns_file(const std::string& path) {
  std::string dir = printq_dir();
  if (path.size() <= dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
  std::string name = path.substr(dir.size());
  return name.find('/') == std::string::npos && name != "." && name != "..";
}

void set_process_name(std::string_view name) {
  size_t n = std::min(name.size(), sizeof g_process_name - 1);
  std::memcpy(g_process_name, name.data(), n);
  g_process_name[n] = '\0';
}

const char* process_name() { return g_process_name; }

void printq_set_clock(ld::Clock* c) { g_clock = c; }

}  // namespace spooler
