// Gathers what the status page shows from the files that other programs keep: the printer status
// document, the queue and its pause flag, the encoder's status file, the library's file system,
// the event-log day files and the stuck-job notice. Anything missing is shown as missing, never
// an error.
#pragma once
#include <string>
#include <vector>

#include "statusdesk/statusview.h"

namespace statusdesk {

// Relative to the CGI directory, like every page's documents.
inline constexpr const char* kSystemDoc = "system.json";
// A status file bigger than this is not the encoder's.
inline constexpr size_t kRfidFileMax = 8192;

StatusInput read_status(int64_t now);

// The last `n` records of the event-log day files in `dir` ("<tag>_<date>.log", records
// "HH:MM:SS,message"), newest first, each as "<date> <time> <tag>: <message>". Only the newest
// few files are read, and a file far bigger than the log server lets one grow is skipped.
std::vector<std::string> last_log_lines(const std::string& dir, size_t n);

}  // namespace statusdesk
