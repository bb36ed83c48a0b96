// jobcatcher: receives print jobs on the receiver port and stores them in the waiting directory.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/endpoints.h"
#include "common/net.h"
#include "receiver/jobcatcher.h"

int main(int argc, char** argv) {
  jobcatcher::Config cfg;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--idle-timeout" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      cfg.idle_timeout_s = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: jobcatcher [--idle-timeout SECONDS]\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string err;
  ld::UniqueFd listener = ld::tcp_listen(ld::receiver_port(), 1, false, &err);
  if (!listener.valid()) {
    std::fprintf(stderr, "ERROR jobcatcher: %s\n", err.c_str());
    return 1;
  }
  return jobcatcher::serve(listener.get(), cfg);
}
