// ewsrelay: fetches one page from the printer's web server and passes it on, as a CGI program
// (the page's path in the `path` query key) or from the command line (path and an optional
// output file, which is replaced whole or not at all). One HTTP/1.0 GET per run.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ewsrelay {

// Where the page comes from, and how long one run may take from connecting to the end of the
// reply: a printer that stalls mid-reply cannot hold the relay longer than that.
struct Target {
  std::string host;
  int port = 80;
  int time_limit_ms = 5000;
};

// The printer's web server, from the endpoint settings.
Target printer_target();

// Relays one page: the header line(s) and "END" lines to `out`, the body to `out` or, when
// `output_file` is given, into that file (written under a temporary name and renamed into
// place, only when the page came whole), messages to `err`. 1 when the page came whole.
// `cgi`: `out` is read by a web server as a CGI response (see relay_reply).
int call(const Target& t, std::string_view method, std::string_view path,
         const std::string* output_file, FILE* out, FILE* err, bool cgi = false);

// The program: the path from QUERY_STRING's `path` (query_string null when unset), else from
// the first argument (a second names the output file), else "/status/system". Returns the exit
// status, which is 0 whatever happened: callers read the output, not the status.
int run(const char* query_string, const std::vector<std::string>& args, const Target& t, FILE* out,
        FILE* err);

}  // namespace ewsrelay
