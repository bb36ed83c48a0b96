#include "common/ui_log.h"

#include <atomic>
#include <cstdio>
#include <string>

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

void ui_log(std::string_view text) {
  ld::RunOptions opt;
  opt.stdin_text = ui_log_line(text);
  opt.timeout_ms = 5000;
  std::string err;
  // -1: not started at all (missing, not executable, or its folder closed to this user, as a
  // 0700 home is to the services' www-data); every event line of this program is lost then.
  if (ld::run_program({ld::rooted("/home/pi/log_client")}, opt, &err) == -1 && !warned.exchange(true))
    std::fprintf(stderr, "event log: %s; event lines are lost\n", err.c_str());
}

void ui_log_reset_warning() { warned = false; }
