// statusdesk: CGI program behind the printer status page and the job history page. It takes its
// request from QUERY_STRING; command-line arguments are ignored.
#include "common/run.h"
#include "statusdesk/statusdesk.h"

int main() {
  ld::ignore_sigpipe();
  return statusdesk::run_statusdesk(statusdesk::config_from_environment());
}
