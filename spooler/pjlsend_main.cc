// pjlsend: sends the ready jobs at the head of the print queue to the printer, or, with "-dump",
// "-check" or "-p", shows the queue, checks it against its files, or asks the printer gate.

#include <cstdio>
#include <string>

#include "common/run.h"
#include "spooler/pjlsend.h"
#include "spooler/printer_send.h"
#include "spooler/printq.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const spooler::Config cfg = spooler::named_config(argc > 0 ? argv[0] : "pjlsend");
  const std::string arg = argc > 1 ? argv[1] : "";
  if (arg == "-dump") {
    std::printf("printq \n");
    spooler::dump_queue(cfg);
    return 0;
  }
  if (arg == "-check") {
    std::printf("check printq \n");
    spooler::check_queue(cfg);
    return 0;
  }
  if (arg == "-p") {
    check_printer_status(cfg);
    return 0;
  }
  spooler::print_all(cfg);
  return 1;
}
