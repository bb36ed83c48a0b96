// Backslash-escaping of file names for the shell scripts that the appliance writes for outside
// helpers to run. The programs themselves never run a shell.
#pragma once
#include <string>
#include <string_view>

namespace ld {
// A backslash before space, "$", "&", "'", "(", ")", "=", "^", "`", "{" and "}".
std::string esc_sh(std::string_view name);
// Single-quotes a text so any POSIX shell reads it as one word, whatever it holds.
std::string shell_quote(std::string_view text);
}  // namespace ld
