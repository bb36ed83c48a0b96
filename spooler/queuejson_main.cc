// queuejson: CGI program that answers with the print queue as a JSON document. It takes no
// request parameters and changes nothing.
#include <cstdio>

#include "spooler/queuejson.h"
#include "webkit/html_utils.h"

int main(int argc, char**) {
  if (argc > 1) {
    std::fprintf(stderr, "usage: queuejson (run by the web server; takes no arguments)\n");
    return 2;
  }
  bool paused = false;
  std::vector<queuejson::Entry> jobs = queuejson::read_queue(&paused);
  for (const auto& line : queuejson::report_lines(jobs, paused)) webkit::add_body_line(line);
  return webkit::print_json() < 0 ? 1 : 0;
}
