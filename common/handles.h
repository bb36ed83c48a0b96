// Owning handles for descriptors and stdio streams, so no early return leaks one.
#pragma once
#include <cstdio>
#include <unistd.h>
#include <utility>

namespace ld {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class UniqueFile {
 public:
  UniqueFile() = default;
  explicit UniqueFile(FILE* f) : f_(f) {}
  UniqueFile(UniqueFile&& o) noexcept : f_(std::exchange(o.f_, nullptr)) {}
  UniqueFile& operator=(UniqueFile&& o) noexcept {
    if (this != &o) reset(std::exchange(o.f_, nullptr));
    return *this;
  }
  UniqueFile(const UniqueFile&) = delete;
  UniqueFile& operator=(const UniqueFile&) = delete;
  ~UniqueFile() { reset(); }

  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  FILE* release() { return std::exchange(f_, nullptr); }
  // Closes now and tells whether everything buffered reached the file.
  bool close() {
    if (f_ == nullptr) return true;
    return std::fclose(std::exchange(f_, nullptr)) == 0;
  }
  void reset(FILE* f = nullptr) {
    if (f_ != nullptr) std::fclose(f_);
    f_ = f;
  }

 private:
  FILE* f_ = nullptr;
};

}  // namespace ld
