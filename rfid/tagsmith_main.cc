// tagsmith: the RFID encoder daemon. Takes key commands from the terminal when started on one.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "rfid/tagsmith.h"

int main(int argc, char** argv) {
  (void)argc;
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  rfid::TagsmithConfig cfg = rfid::default_config();
  cfg.program = argv[0];
  // Started in the background (input not a terminal) there is nobody at the keys, and the
  // terminal it may still have belongs to someone else.
  cfg.keys = isatty(STDIN_FILENO) == 1;
  rfid::Tagsmith daemon(cfg);
  return daemon.run();
}
