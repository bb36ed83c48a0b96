// printersim: the printer stand-in for tests and the demo (raw print port and web server on
// loopback). See `printersim --help`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/run.h"
#include "testkit/printersim.h"

namespace {

const char kUsage[] =
    "usage: printersim --dir DIR [--raw-port N] [--web-port N] [--control FILE] [--set KEY=VALUE]...\n"
    "                  [--any-address] [--rfid-port N [--rfid-script FILE]]\n"
    "\n"
    "A stand-in for the label printer, on 127.0.0.1 only (--any-address: on every address, for\n"
    "tests that run it inside a network namespace of their own).\n"
    "  --dir DIR         where it records; created when missing:\n"
    "                      DIR/ports         LABELDOCK_PRINTER_HOST/_RAW_PORT/_WEB_PORT=... lines,\n"
    "                                        written once both ports listen (shell-sourceable)\n"
    "                      DIR/jobs/NNNN.pjl PJL header lines of raw connection NNNN (from 0001)\n"
    "                      DIR/jobs/NNNN.prn the bytes after the header\n"
    "                      DIR/raw.log       'job N open|name NAME|say B bytes at C|\n"
    "                                        end|drop at C|lost (why)|stopped pjl X data Y|refuse'\n"
    "                      DIR/requests.log  every HTTP request line as received\n"
    "  --raw-port N      raw print port (default 0: any free port)\n"
    "  --web-port N      web server port (default 0: any free port)\n"
    "  --control FILE    control file (default DIR/control), read again before every request\n"
    "                    and connection and every 100 ms; its KEY=VALUE lines replace the\n"
    "                    settings of its previous text (replace it by renaming a new file\n"
    "                    over it, so it is never read half-written)\n"
    "  --set KEY=VALUE   a setting that holds under the control file (repeatable)\n"
    "  --rfid-port N     play the printer's side of the RFID encoder's command link: connect\n"
    "                    to 127.0.0.1:N and send the messages of the script one at a time,\n"
    "                    each after the reply to the one before\n"
    "  --rfid-script FILE  the script (default DIR/rfid_script), followed as it grows: one\n"
    "                    message per line (escapes as below), 'pause MS', 'drop' (close the\n"
    "                    connection; the next message connects again), '#' comments.\n"
    "                    DIR/rfid.log gets 'connect', 'send MSG', 'reply TEXT' (\\x00 for the\n"
    "                    NUL), 'reply timeout TEXT', 'reply closed TEXT', 'closed by appliance',\n"
    "                    'drop'\n"
    "\n"
    "Settings (values take the escapes \\r \\n \\t \\f \\e \\\\ \\xHH):\n"
    "  SystemState Media Cutter FirmwareVersion RTC    members of /status/system (RTC empty: now)\n"
    "  printer_ip ui_ip kova_ip kova_mac ui_alive      members of /status/ui\n"
    "  web=answer|silent|close     answer, read but never answer, or close at once\n"
    "  chunked=*|PATH,PATH|        paths answered chunked (default *), the rest with Content-Length\n"
    "  chunk_size=N chunk_digits=D body bytes per chunk (0: one chunk), size digits (default 4)\n"
    "  keep_open=0|1               wait for a further request after a reply (default 0: close)\n"
    "  web_delay_ms=MS             pause before each reply\n"
    "  pages=DIR                   files under DIR answer their paths before the built-in pages\n"
    "  raw=read|stall|close        read jobs, stop reading open connections, or refuse them\n"
    "  say=BYTES:TEXT              write TEXT once BYTES bytes of a connection (header\n"
    "                              included) were read\n"
    "                              (repeatable; an empty say= clears the list)\n"
    "  drop_after=BYTES            close the connection after BYTES bytes (-1: never)\n"
    "  read_chunk=BYTES read_delay_ms=MS   slow reading: largest read, pause after each\n"
    "The raw keys other than raw= are fixed for a connection when it is accepted.\n"
    "/config/network_config?private_ip=A&ui_ip=B sets kova_ip and ui_ip until the control file\n"
    "changes. SIGTERM or SIGINT ends it.\n";

}  // namespace

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  printersim::Options opts;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--dir" && has_value) {
      opts.dir = argv[++i];
    } else if (a == "--any-address") {
      opts.any_address = true;
    } else if (a == "--control" && has_value) {
      opts.control = argv[++i];
    } else if (a == "--rfid-script" && has_value) {
      opts.rfid_script = argv[++i];
    } else if ((a == "--raw-port" || a == "--web-port" || a == "--rfid-port") && has_value) {
      char* end = nullptr;
      long p = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || p < 0 || p > 65535) {
        std::fprintf(stderr, "printersim: bad port %s\n", argv[i]);
        return 2;
      }
      (a == "--raw-port" ? opts.raw_port : a == "--web-port" ? opts.web_port : opts.rfid_port) = static_cast<int>(p);
    } else if (a == "--set" && has_value) {
      std::string kv = argv[++i];
      size_t eq = kv.find('=');
      std::string err;
      printersim::State check;
      if (eq == std::string::npos ||
          !printersim::apply_setting(&check, kv.substr(0, eq), printersim::unescape(kv.substr(eq + 1)), &err)) {
        std::fprintf(stderr, "printersim: --set %s: %s\n", kv.c_str(), err.empty() ? "expected KEY=VALUE" : err.c_str());
        return 2;
      }
      opts.settings.emplace_back(kv.substr(0, eq), printersim::unescape(kv.substr(eq + 1)));
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (opts.dir.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return printersim::run(opts);
}
