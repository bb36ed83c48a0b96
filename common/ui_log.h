// Event-log lines: each text is handed to the log client "/home/pi/log_client" on its standard
// input, followed by a line feed. The client is started directly, never through a shell, so
// a job name like "$(reboot)" arrives as text. A missing or failing client loses the line only.
#pragma once
#include <string_view>

void ui_log(std::string_view text);
