// tagsmith: the RFID encoder daemon. Takes key commands from the terminal when started on one.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/clock.h"
#include "common/run.h"
#include "rfid/tagsmith.h"

namespace {

// The real clock with its fixed pauses cut to at most cap_ms (LABELDOCK_RFID_PAUSE_MS): the
// settling pauses of discovery then take no time while every module reply is still waited for
// up to its deadline, so tests that start the daemon do not sit out seconds of nothing.
class ShortPauses : public ld::Clock {
 public:
  explicit ShortPauses(long cap_ms) : cap_ms_(cap_ms) {}
  time_t now() override { return ld::system_clock().now(); }
  int64_t monotonic_ms() override { return ld::system_clock().monotonic_ms(); }
  void sleep_ms(long ms) override { ld::system_clock().sleep_ms(std::min(ms, cap_ms_)); }

 private:
  long cap_ms_;
};

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  (void)argc;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  rfid::TagsmithConfig cfg = rfid::default_config();
  cfg.program = argv[0];
  // Started in the background (input not a terminal) there is nobody at the keys, and the
  // terminal it may still have belongs to someone else.
  cfg.keys = isatty(STDIN_FILENO) == 1;
  const char* cap = std::getenv("LABELDOCK_RFID_PAUSE_MS");
  ShortPauses short_pauses(cap ? std::strtol(cap, nullptr, 10) : 0);
  if (cap && *cap >= '0' && *cap <= '9') cfg.clock = &short_pauses;
  rfid::Tagsmith daemon(cfg);
  return daemon.run();
}
