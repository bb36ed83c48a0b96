#include "common/esc_sh.h"

#include <cstring>

namespace ld {

std::string esc_sh(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 8);
  for (char c : name) {
    if (c != '\0' && std::strchr(" $&'()=^`{}", c) != nullptr) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string shell_quote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

}  // namespace ld
