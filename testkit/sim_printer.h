// printersim as a test sees it: started in a folder of the test's root, its ports read from
// the ports file, its control file replaced in one step, its job log searched line by line.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testkit/scenario.h"

namespace testkit {

// The job header as the printer must see it, for the job whose base name is `hex` in hex.
inline std::string wire_header(const std::string& hex) {
  return "\x1b%-12345X@PJL JOB WNAME = \"" + hex +
         "\"\r\n"
         "@PJL INFO STATUS\r\n@PJL USTATUS JOB = ON\r\n@PJL USTATUS PAGE = ON\r\n"
         "@PJL USTATUS DEVICE = ON\r\n@PJL USTATUS TIMED = 30\r\n";
}

class SimPrinter {
 public:
  // Starts printersim with "--dir dir" and `args`, and waits for its ports.
  explicit SimPrinter(const std::string& dir, const std::vector<std::string>& args = {});
  // Stops it; endpoint variables it exported are removed again.
  ~SimPrinter();
  SimPrinter(const SimPrinter&) = delete;
  SimPrinter& operator=(const SimPrinter&) = delete;

  // False (with error()) when it did not come up.
  bool ok() const { return raw_port_ > 0 && web_port_ > 0; }
  const std::string& error() const { return error_; }
  int raw_port() const { return raw_port_; }
  int web_port() const { return web_port_; }
  const std::string& dir() const { return dir_; }
  Process& process() { return *proc_; }

  // Points this process (and the programs it starts) at the simulator: LABELDOCK_PRINTER_HOST,
  // LABELDOCK_PRINTER_RAW_PORT and LABELDOCK_PRINTER_WEB_PORT.
  void export_endpoints();
  // Replaces the control file in one step, as the simulator expects.
  bool control(const std::string& text);
  std::string raw_log() const;
  // Waits for a line of the job log equal to `line`, or (prefix) beginning with it.
  bool raw_log_has(const std::string& line, int timeout_ms = 20000) const;
  bool raw_log_has_prefix(const std::string& start, int timeout_ms = 20000) const;
  // The body of its "/status/system" page, as the relay would store it ("" when none came).
  std::string status_page() const;

 private:
  std::string dir_, error_;
  std::unique_ptr<Process> proc_;
  int raw_port_ = -1, web_port_ = -1;
  bool exported_ = false;
};

// What the appliance's relay does for the printer gate: copies the simulator's status page into
// the status document a few times a second, from a thread of its own, while fresh.
class StatusKeeper {
 public:
  explicit StatusKeeper(const SimPrinter& printer);
  ~StatusKeeper();
  StatusKeeper(const StatusKeeper&) = delete;
  StatusKeeper& operator=(const StatusKeeper&) = delete;
  // Waits until the document has been written once.
  bool started() const;
  // Off: the document is left to grow stale, as when the relay stops.
  void set_fresh(bool on) { fresh_ = on; }

 private:
  const SimPrinter& printer_;
  std::atomic<bool> stop_{false}, fresh_{true};
  std::thread thread_;
};

}  // namespace testkit
