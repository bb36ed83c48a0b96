// usbwatch: stand-in for the appliance's USB watcher. Runs "/tmp/do_usb.sh" (under
// LABELDOCK_ROOT) each time one appears, as "/tmp/active_usb.sh".
//   usbwatch [--once]   --once: run the pending script, if any, and end with its status
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/run.h"
#include "testkit/usbstandins.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  bool once = argc > 1 && std::string(argv[1]) == "--once";
  if (argc > 2 || (argc == 2 && !once)) {
    std::fprintf(stderr, "usage: usbwatch [--once]\n");
    return 2;
  }
  for (;;) {
    int status = 0;
    std::string err;
    bool ran = testkit::run_pending_usb_script(&status, nullptr, &err);
    if (!err.empty()) std::fprintf(stderr, "usbwatch: %s\n", err.c_str());
    if (ran) std::fprintf(stderr, "usbwatch: script ended with status %d\n", status);
    if (once) return ran ? status : 0;
    ::usleep(100 * 1000);
  }
}
