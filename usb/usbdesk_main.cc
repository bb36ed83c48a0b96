// usbdesk: CGI program behind the page shown while a USB stick is plugged in. It takes its
// request from QUERY_STRING; command-line arguments are ignored.
#include "common/run.h"
#include "usb/usbdesk.h"

int main() {
  ld::ignore_sigpipe();
  return usb::usbdesk(usb::config_from_environment());
}
