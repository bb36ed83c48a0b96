// log_client: sends the lines of its standard input to the event log server, each as
// "<tag>,<line>". Installed as "/home/pi/log_client" in the demo and the tests.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/run.h"
#include "testkit/log_client.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  testkit::LogClientOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--host" && has_value) {
      opt.host = argv[++i];
    } else if (a == "--port" && has_value && std::atoi(argv[i + 1]) > 0) {
      opt.port = std::atoi(argv[++i]);
    } else if (a == "--tag" && has_value) {
      opt.tag = argv[++i];
    } else {
      std::fprintf(stderr, "usage: log_client [--host HOST] [--port PORT] [--tag TAG] < lines\n");
      return 2;
    }
  }
  std::string err;
  int rc = testkit::run_log_client(0, opt, &err);
  if (rc != 0) std::fprintf(stderr, "log_client: %s\n", err.c_str());
  return rc;
}
