// What the queue store and the spooler programs are given instead of reaching for globals:
// where the queue files and the printer's status document are, the program name that locks
// carry, the clock the store takes "now" from and sleeps on, and the streams its messages and
// event-log lines go to.
#pragma once
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/ui_log.h"

// The printer's status document: a copy of its "/status/system" page (under the root prefix).
std::string printer_status_path();

namespace spooler {

// The fixed files, with the root prefix in front.
std::string printq_dir();           // "/print/printq/"
std::string printq_filename();      // "/print/printq/printq"
std::string queue_lock();           // "/tmp/printq.lock"
std::string pause_printing_lock();  // "/print/printq/pause"

// Longest program name written into a lock file; a longer one is cut.
constexpr size_t kProcessNameMax = 99;

// A default Config is the appliance's: its files under the root prefix as it is set when the
// Config is made, "UNKNOWN" as the name, the real clock, standard output and standard error.
struct Config {
  std::string dir = printq_dir();
  std::string queue_file = printq_filename();
  std::string lock = queue_lock();
  std::string pause_flag = pause_printing_lock();
  std::string status_doc = printer_status_path();
  std::string process_name = "UNKNOWN";  // pjlsend and jobdesk give their argv[0]
  ld::Clock* clock = &ld::system_clock();
  FILE* out = stdout;  // progress, listings and dumps
  FILE* err = stderr;  // problems
  // Event-log lines. Unset: spoold_pass and print_all give their run a UiLog of its own; other
  // calls log each line through ld::log_event.
  ld::EventSink log;
};

// The appliance's Config for the program called `name`.
Config named_config(std::string_view name);

// True when `path` names a file directly in the queue directory: the only job files that the
// queue programs ever delete, so that a damaged record cannot make them delete anything else.
bool printq_owns_file(const Config& cfg, const std::string& path);

// The lock text: "%s %d:%s\n" with the program name (kProcessNameMax bytes at most), the
// process id and the ctime of now.
std::string lock_text(const Config& cfg);

// ctime(3) text of a time, with its newline ("?\n" when it has none).
std::string ctime_text(time_t t);

}  // namespace spooler
