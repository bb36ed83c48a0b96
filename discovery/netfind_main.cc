// netfind: finds the printer's network controller and keeps the link addresses consistent.
// Without an argument it only reports; with any argument it acts.

#include "common/run.h"
#include "discovery/netfind.h"

int main(int argc, char**) {
  ld::ignore_sigpipe();
  return discovery::netfind(discovery::system_config(), argc > 1);
}
