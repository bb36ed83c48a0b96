#include "common/paths.h"

#include <cstdlib>

namespace ld {

std::string root_prefix() {
  const char* r = std::getenv("LABELDOCK_ROOT");
  if (r == nullptr) return "";
  std::string s(r);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string rooted(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::string(path);
  return root_prefix() + std::string(path);
}

}  // namespace ld
