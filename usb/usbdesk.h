// The USB maintenance page as a CGI run: reads the request and the status documents, starts
// the asked action by leaving its script for the USB watcher, and answers with the page.
#pragma once
#include <cstdio>
#include <ctime>
#include <string>

#include "usb/usbactions.h"
#include "usb/usbpage.h"

namespace usb {

struct UsbConfig {
  std::string query;                              // QUERY_STRING
  UsbPaths paths = default_usb_paths();
  std::string system_json = "system.json";        // relative to the working directory
  std::string diagnostics_json = "diagnostics.json";
  time_t now = 0;                                 // for the fallback backup name
  FILE* out = stdout;                             // the response
  FILE* err = stderr;                             // messages (the web server's error log)
};

// The page's lines for one request, actions done.
Page build_page(const UsbConfig& cfg);

// One CGI run: build_page, then the response on cfg.out. Exit status 0, or 1 when the
// response could not be written.
int usbdesk(const UsbConfig& cfg);

// The configuration of a real run: QUERY_STRING, the current time, standard streams.
UsbConfig config_from_environment();

}  // namespace usb
