// spoold: one spooler pass over the print queue; takes no arguments.
#include <cstdio>

#include "common/run.h"
#include "spooler/spoold.h"

int main() {
  ld::ignore_sigpipe();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return spooler::spoold_pass(spooler::Config{});
}
