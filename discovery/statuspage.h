// The controller's status page ("/status/ui") read the way the controller's own tools read it:
// by searching the text for each key, not by parsing. Every value taken from it is checked
// before it can reach a command or a request (addresses are four numbers 0 to 255).
#pragma once
#include <string>
#include <string_view>

#include "discovery/address.h"

namespace discovery {

// What the page tells. A key the page lacks leaves its member as it was.
struct ControllerStatus {
  Ip4 ui{};          // "ui_ip": where the controller expects the appliance
  Ip4 controller{};  // "kova_ip": the controller's own address
  Ip4 external{};    // "printer_ip": the printer on the customer network
  std::string mac;   // "kova_mac", at most kMacMax characters
  int ui_alive = 0;  // "ui_alive"
};
constexpr size_t kMacMax = 19;
// The most of a reply that is read.
constexpr size_t kStatusReplyMax = 4095;

// Reads a reply (status line and headers, if any, are passed over; a chunked body is decoded)
// into *st, appending the "KOVA ..." lines to *log. The external address is read only when
// `want_external`. Returns 1 when st->ui is known afterwards, else 0.
int read_status_page(std::string_view reply, bool want_external, ControllerStatus* st,
                     std::string* log);

}  // namespace discovery
