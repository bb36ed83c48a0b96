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

// The same line, but the client is left running while the caller goes on (a CGI program whose
// page should not wait for the log's round trip). It is waited for, within the same time
// limit, by the next ui_log or ui_log_start (so lines keep their order) and at the latest when
// the program ends.
// The client is started by a thread of its own, so not even its start holds the caller.
void ui_log_start(std::string_view text);
// Returns once the client of the last ui_log_start is under way (or could not be started). A
// CGI program calls it before its reply goes out: the web server may end the program then.
void ui_log_started();

// The next client that cannot be started is reported again (for tests).
void ui_log_reset_warning();
