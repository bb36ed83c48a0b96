// Reading a folder: an open folder that closes itself on every way out, and the list of its
// names taken whole (before any entry moves). Every program that walks a folder uses these.
#pragma once
#include <dirent.h>

#include <string>
#include <string_view>
#include <vector>

namespace ld {

class DirReader {
 public:
  // Opens `path`; when it cannot, ok() is false and errno tells why.
  explicit DirReader(const std::string& path) : d_(::opendir(path.c_str())) {}
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;
  ~DirReader() {
    if (d_ != nullptr) ::closedir(d_);
  }
  bool ok() const { return d_ != nullptr; }
  // The folder's descriptor, for fstatat and friends relative to it.
  int fd() const { return ::dirfd(d_); }
  // The next entry's name ("." and ".." passed over), or nullptr at the end.
  const char* next();

 private:
  DIR* d_;
};

// Appends the names in `dir` that `keep` accepts (every name when null), in the folder's own
// order. False, with errno from opening it, when the folder cannot be read.
bool list_names(const std::string& dir, std::vector<std::string>* out,
                bool (*keep)(std::string_view) = nullptr);

}  // namespace ld
