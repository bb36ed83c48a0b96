// Event-log lines: each text is handed to the log client "/home/pi/log_client" on its standard
// input, as one line. The client is started directly, never through a shell, so a job name like
// "$(reboot)" arrives as text. A missing or failing client loses the line only; a client that
// cannot be started at all is reported on standard error, once per process.
#pragma once
#include <string>
#include <string_view>

// The line the client is given for `text`: CR and LF inside it become "?" (as the event log
// shows other control bytes), so one text is always one record; a line feed ends it.
std::string ui_log_line(std::string_view text);

void ui_log(std::string_view text);

// The next client that cannot be started is reported again (for tests).
void ui_log_reset_warning();
