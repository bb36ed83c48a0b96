// Where the queue files live, the program name that locks carry, and the clock that the store
// takes "now" from and sleeps on.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace spooler {

// The fixed files, with the root prefix in front.
std::string printq_dir();           // "/print/printq/"
std::string printq_filename();      // "/print/printq/printq"
std::string queue_lock();           // "/tmp/printq.lock"
std::string pause_printing_lock();  // "/print/printq/pause"
// True when `path` names a file directly in the queue directory: the only job files that the
// queue programs ever delete, so that a damaged record cannot make them delete anything else.
bool printq_owns_file(const std::string& path);

// The program name written into lock files ("UNKNOWN" until set; at most 99 bytes kept).
void set_process_name(std::string_view name);
const char* process_name();
// The clock the lock retries sleep on and take "now" from; null restores the real one.
void printq_set_clock(ld::Clock* clock);

// The clock set by printq_set_clock, or the real one.
ld::Clock& queue_clock();
// ctime(3) text of a time, with its newline ("?\n" when it has none).
std::string ctime_text(time_t t);

}  // namespace spooler
