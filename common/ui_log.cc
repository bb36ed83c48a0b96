#include "common/ui_log.h"

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

void ui_log(std::string_view text) {
  ld::RunOptions opt;
  opt.stdin_text = ui_log_line(text);
  opt.timeout_ms = 5000;
  ld::run_program({ld::rooted("/home/pi/log_client")}, opt);
}
