// queuejson: CGI program that answers with the print queue as a JSON document. It takes no
// request parameters and changes nothing. Command-line arguments are ignored: a web server may
// pass a query without "=" (such as a cache-busting "?1712") as arguments.
#include "common/run.h"
#include "spooler/queuejson.h"

int main() {
  ld::ignore_sigpipe();
  return spooler::queuejson::run();
}
