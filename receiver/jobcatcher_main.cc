// jobcatcher: receives print jobs on the receiver port and stores them in the waiting directory.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/endpoints.h"
#include "common/net.h"
#include "common/run.h"
#include "receiver/jobcatcher.h"

constexpr long kMaxIdleTimeout = 86400;

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  jobcatcher::Config cfg;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // Bounded so that the time-out in milliseconds stays within an int.
    char* end = nullptr;
    long v = a == "--idle-timeout" && i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : 0;
    if (end != nullptr && *end == '\0' && v >= 1 && v <= kMaxIdleTimeout) {
      cfg.idle_timeout_s = static_cast<int>(v);
      ++i;
    } else {
      std::fprintf(stderr, "usage: jobcatcher [--idle-timeout SECONDS (1 to %ld)]\n", kMaxIdleTimeout);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string err;
  ld::UniqueFd listener = ld::tcp_listen(ld::receiver_port(), jobcatcher::kListenBacklog, false, &err);
  if (!listener.valid()) {
    std::fprintf(stderr, "ERROR jobcatcher: %s\n", err.c_str());
    return 1;
  }
  return jobcatcher::serve(listener.get(), cfg);
}
