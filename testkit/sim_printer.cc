#include "testkit/sim_printer.h"

#include <cstdlib>

#include <unistd.h>

#include "common/fsops.h"
#include "spooler/printer_send.h"
#include "testkit/webserver.h"

namespace testkit {
namespace {

// The value of "NAME=value" in the ports file, or "".
std::string port_value(const std::string& ports, const std::string& name) {
  std::string key = name + "=";
  size_t at = ("\n" + ports).find("\n" + key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size();
  return ports.substr(from, ports.find('\n', from) - from);
}

bool has_line(const std::string& log, const std::string& text, bool prefix) {
  return ("\n" + log).find("\n" + text + (prefix ? "" : "\n")) != std::string::npos;
}

}  // namespace

SimPrinter::SimPrinter(const std::string& dir, const std::vector<std::string>& args) : dir_(dir) {
  ld::make_dirs(dir_);
  std::vector<std::string> argv{bin("printersim"), "--dir", dir_};
  argv.insert(argv.end(), args.begin(), args.end());
  proc_ = std::make_unique<Process>(argv);
  if (!wait_until([&] { return ld::file_exists(dir_ + "/ports") || !proc_->running(); })) {
    error_ = "printersim wrote no ports file";
    return;
  }
  std::string ports = slurp(dir_ + "/ports");
  raw_port_ = std::atoi(port_value(ports, "LABELDOCK_PRINTER_RAW_PORT").c_str());
  web_port_ = std::atoi(port_value(ports, "LABELDOCK_PRINTER_WEB_PORT").c_str());
  if (port_value(ports, "LABELDOCK_PRINTER_HOST") != "127.0.0.1") raw_port_ = -1;  // loopback only
  if (!ok()) error_ = "printersim did not start: " + proc_->err() + ports;
}

SimPrinter::~SimPrinter() {
  if (exported_) {
    for (const char* v : {"LABELDOCK_PRINTER_HOST", "LABELDOCK_PRINTER_RAW_PORT", "LABELDOCK_PRINTER_WEB_PORT"})
      ::unsetenv(v);
  }
}

void SimPrinter::export_endpoints() {
  ::setenv("LABELDOCK_PRINTER_HOST", "127.0.0.1", 1);
  ::setenv("LABELDOCK_PRINTER_RAW_PORT", std::to_string(raw_port_).c_str(), 1);
  ::setenv("LABELDOCK_PRINTER_WEB_PORT", std::to_string(web_port_).c_str(), 1);
  exported_ = true;
}

bool SimPrinter::control(const std::string& text) { return ld::write_file_atomic(dir_ + "/control", text); }

std::string SimPrinter::raw_log() const { return slurp(dir_ + "/raw.log"); }

bool SimPrinter::raw_log_has(const std::string& line, int timeout_ms) const {
  return wait_until([&] { return has_line(raw_log(), line, false); }, timeout_ms);
}

bool SimPrinter::raw_log_has_prefix(const std::string& start, int timeout_ms) const {
  return wait_until([&] { return has_line(raw_log(), start, true); }, timeout_ms);
}

std::string SimPrinter::status_page() const {
  HttpResponse r = http_get(web_port_, "/status/system", 5000);
  return r.status == 200 ? r.body : "";
}

StatusKeeper::StatusKeeper(const SimPrinter& printer) : printer_(printer) {
  thread_ = std::thread([this] {
    while (!stop_) {
      if (fresh_) {
        std::string page = printer_.status_page();
        if (!page.empty()) ld::write_file_atomic(printer_status_path(), page);
      }
      ::usleep(200000);
    }
  });
}

StatusKeeper::~StatusKeeper() {
  stop_ = true;
  thread_.join();
}

bool StatusKeeper::started() const {
  return wait_until([&] { return ld::file_exists(printer_status_path()); });
}

}  // namespace testkit
