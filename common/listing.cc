#include "common/listing.h"

#include <cerrno>

namespace ld {

const char* DirReader::next() {
  if (d_ == nullptr) return nullptr;
  while (const dirent* e = ::readdir(d_)) {
    const std::string_view n = e->d_name;
    if (n != "." && n != "..") return e->d_name;
  }
  return nullptr;
}

bool list_names(const std::string& dir, std::vector<std::string>* out,
                bool (*keep)(std::string_view)) {
  DirReader d(dir);
  if (!d.ok()) return false;
  const int saved = errno;
  while (const char* n = d.next())
    if (keep == nullptr || keep(n)) out->emplace_back(n);
  errno = saved;
  return true;
}

}  // namespace ld
