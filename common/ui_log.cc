#include "common/ui_log.h"

#include <string>

#include "common/paths.h"
#include "common/run.h"

void ui_log(std::string_view text) {
  ld::RunOptions opt;
  opt.stdin_text.assign(text);
  opt.stdin_text.push_back('\n');
  opt.timeout_ms = 5000;
  ld::run_program({ld::rooted("/home/pi/log_client")}, opt);
}
