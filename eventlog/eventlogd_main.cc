// eventlogd: keeps the appliance's daily event logs, fed by the log client over TCP.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/net.h"
#include "common/run.h"
#include "eventlog/eventlogd.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  eventlog::Config cfg;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--idle-timeout" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      cfg.idle_timeout_s = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: eventlogd [--idle-timeout SECONDS]\n");
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  cfg.log_dir = eventlog::log_dir();
  std::string err;
  if (!ld::make_dirs(cfg.log_dir, &err))
    std::fprintf(stderr, "ERROR eventlogd: cannot create %s: %s\n", cfg.log_dir.c_str(), err.c_str());
  ld::UniqueFd listener = ld::tcp_listen(ld::eventlog_port(), 10, false, &err);
  if (!listener.valid()) {
    std::fprintf(stderr, "ERROR eventlogd: %s\n", err.c_str());
    return 1;
  }
  return eventlog::serve(listener.get(), cfg);
}
