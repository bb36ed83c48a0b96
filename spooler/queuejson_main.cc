// queuejson: CGI program that answers with the print queue as a JSON document. It takes no
// request parameters and changes nothing.
#include <cstdio>

#include "spooler/queuejson.h"

int main(int argc, char**) {
  if (argc > 1) {
    std::fprintf(stderr, "usage: queuejson (run by the web server; takes no arguments)\n");
    return 2;
  }
  return queuejson::run();
}
