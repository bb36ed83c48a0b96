// readersim: the RFID reader modules on pseudo-terminals, for tests and the demo. See
// `readersim --help` and testkit/readersim.cc for the control file.
#include <cstdio>
#include <string>

#include "common/run.h"
#include "testkit/readersim.h"

namespace {

const char kUsage[] =
    "usage: readersim --dir DIR [--control FILE] --module ru5102|ru5202 [--module ...]\n"
    "\n"
    "Simulates reader modules on pseudo-terminals. Module i is published under LABELDOCK_ROOT\n"
    "(required) as dev/ttyUSB<i> (a link to its pty) and sys/bus/usb-serial/devices/ttyUSB<i>.\n"
    "  DIR/ports          'ttyUSB0 ru5102 /dev/pts/N' lines, written once all are published\n"
    "  DIR/readersim.log  every frame received (rx, bad-crc, junk, incomplete), what it did,\n"
    "                     and every reply (tx)\n"
    "  --control FILE     control file (default DIR/control), read again every 100 ms:\n"
    "    <module> field EPC[:RSSI] ...          tags in the field\n"
    "    <module> cycle N[-M|-] EPC[:RSSI] ...  tags in the field for inventories N to M\n"
    "    <module> write SS[:EE] ...             outcomes of the next writes (00 success)\n"
    "    <module> reply frame:HEX|badcrc:HEX|raw:HEX|silent ...   next replies, in place\n"
    "    <module> reply cut:N|late:MS|split:N:MS|badcrc|long:N|lost ...   next replies spoilt\n"
    "    <module> serial HHHHHHHH | power N | gpio N | delay MS\n"
    "SIGTERM or SIGINT ends it and removes what it published.\n";

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  readersim::Options opts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    readersim::Model model;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--dir" && has_value) {
      opts.dir = argv[++i];
    } else if (a == "--control" && has_value) {
      opts.control = argv[++i];
    } else if (a == "--module" && has_value && readersim::parse_model(argv[i + 1], &model)) {
      opts.modules.push_back(model);
      ++i;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (opts.dir.empty() || opts.modules.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return readersim::run(opts);
}
