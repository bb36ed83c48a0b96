// The pause flag: while it exists, nothing is sent to the printer.
#pragma once
#include "spooler/queue_config.h"

namespace spooler {

// 1 when printing may go on (no pause flag), 0 when paused.
int check_pause(const Config& cfg);
// Creates the pause flag with the lock text, by get_lock's protocol: pausing while paused fails
// after the 5 retries and leaves the flag.
int pause_printing(const Config& cfg);
// Deletes the pause flag; always 1.
int resume_printing(const Config& cfg);

}  // namespace spooler
