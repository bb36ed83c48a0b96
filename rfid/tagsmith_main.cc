// tagsmith: the RFID encoder daemon. Takes key commands from the terminal when started on one.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/run.h"
#include "rfid/tagsmith.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  (void)argc;
  // Fully buffered: the daemon hands its output over once per pass (and before each log record)
  // and flushes it then; line buffering cost a write call for every line, most of them on the
  // way from a write message to its frame.
  std::setvbuf(stdout, nullptr, _IOFBF, 0);
  rfid::TagsmithConfig cfg = rfid::default_config();
  cfg.program = argv[0];
  // Started in the background (input not a terminal) there is nobody at the keys, and the
  // terminal it may still have belongs to someone else.
  cfg.keys = isatty(STDIN_FILENO) == 1;
  // Tests only: the fixed pauses of discovery cut to at most this many ms, so tests that start
  // the daemon do not sit out seconds of nothing; every module reply is still waited for up to
  // its deadline.
  const char* cap = std::getenv("LABELDOCK_RFID_PAUSE_MS");
  rfid::SystemDaemonClock clock(cap && *cap >= '0' && *cap <= '9' ? std::strtol(cap, nullptr, 10) : -1);
  cfg.clock = &clock;
  rfid::Tagsmith daemon(cfg);
  return daemon.run();
}
