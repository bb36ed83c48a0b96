// jobdesk: CGI program behind the touch screen's job pages. It takes its request from
// QUERY_STRING and REQUEST_URI; command-line arguments are ignored.
#include "common/run.h"
#include "jobdesk/pages.h"

int main(int, char** argv) {
  ld::ignore_sigpipe();
  return jobdesk::run_jobdesk(argv[0]);
}
