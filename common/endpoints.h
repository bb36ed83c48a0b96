// Every network endpoint the appliance talks to or serves, with the appliance's value as default
// and one environment variable each to move it (tests and the demo use free loopback ports).
#pragma once
#include <string>

namespace ld {

std::string printer_host();      // LABELDOCK_PRINTER_HOST, default "labelprinter"
int printer_raw_port();          // LABELDOCK_PRINTER_RAW_PORT, default 9100
int printer_web_port();          // LABELDOCK_PRINTER_WEB_PORT, default 80
int receiver_port();             // LABELDOCK_RECEIVER_PORT, default 5001
int eventlog_port();             // LABELDOCK_EVENTLOG_PORT, default 5002
int rfid_port();                 // LABELDOCK_RFID_PORT, default 5011
std::string slp_addr();          // LABELDOCK_SLP_ADDR, default "239.255.255.253"
int slp_port();                  // LABELDOCK_SLP_PORT, default 427
std::string local_web();         // LABELDOCK_LOCAL_WEB, default "127.0.0.1:80"

// The variables above, for passing on to programs started by a web server.
const char* const* endpoint_variables();

}  // namespace ld
