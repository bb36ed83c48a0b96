#include "common/endpoints.h"

#include <cstdlib>
#include <string>

namespace ld {
namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

int port_or(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long p = std::strtol(v, &end, 10);
  if (*end != '\0' || p <= 0 || p > 65535) return fallback;
  return static_cast<int>(p);
}

}  // namespace

std::string printer_host() { return env_or("LABELDOCK_PRINTER_HOST", "labelprinter"); }
int printer_raw_port() { return port_or("LABELDOCK_PRINTER_RAW_PORT", 9100); }
int printer_web_port() { return port_or("LABELDOCK_PRINTER_WEB_PORT", 80); }
int receiver_port() { return port_or("LABELDOCK_RECEIVER_PORT", 5001); }
int eventlog_port() { return port_or("LABELDOCK_EVENTLOG_PORT", 5002); }
int rfid_port() { return port_or("LABELDOCK_RFID_PORT", 5011); }
std::string slp_addr() { return env_or("LABELDOCK_SLP_ADDR", "239.255.255.253"); }
int slp_port() { return port_or("LABELDOCK_SLP_PORT", 427); }
std::string local_web() { return env_or("LABELDOCK_LOCAL_WEB", "127.0.0.1:80"); }

const char* const* endpoint_variables() {
  static const char* const names[] = {
      "LABELDOCK_ROOT",          "LABELDOCK_PRINTER_HOST", "LABELDOCK_PRINTER_RAW_PORT",
      "LABELDOCK_PRINTER_WEB_PORT", "LABELDOCK_RECEIVER_PORT", "LABELDOCK_EVENTLOG_PORT",
      "LABELDOCK_RFID_PORT",     "LABELDOCK_SLP_ADDR",     "LABELDOCK_SLP_PORT",
      "LABELDOCK_LOCAL_WEB",     nullptr};
  return names;
}

}  // namespace ld
