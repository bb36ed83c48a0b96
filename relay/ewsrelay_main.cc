// ewsrelay: relays a page of the printer's web server (CGI or command line).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/run.h"
#include "relay/ewsrelay.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  std::vector<std::string> args(argv + 1, argv + argc);
  return ewsrelay::run(std::getenv("QUERY_STRING"), args, ewsrelay::printer_target(), stdout, stderr);
}
