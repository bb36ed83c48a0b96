// statusdesk: the CGI program behind the touch screen's printer status page and the job history
// page. One run reads the documents and files that other programs keep and answers one page;
// it changes nothing.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace statusdesk {

struct DeskConfig {
  std::string query;   // QUERY_STRING: "history" present shows the history page
  int64_t now = 0;
  FILE* out = stdout;
};

// Builds the page and writes the response. 0, or 1 when the response could not be written.
int run_statusdesk(const DeskConfig& cfg);

DeskConfig config_from_environment();

}  // namespace statusdesk
