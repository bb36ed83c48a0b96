#include "testkit/capture.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testkit {
namespace {

// A capture that silently failed would make every expectation on its text meaningless.
[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "testkit capture: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

std::FILE* temp_file() {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) fail("cannot make a temporary file");
  return f;
}

// The whole file, read by position so that the stream's own offset stays where it is.
std::string read_all(std::FILE* f) {
  std::fflush(f);
  std::string s;
  char buf[8192];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fileno(f), buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
    at += n;
  }
  return s;
}

std::FILE* stdio_of(int fd) { return fd == 1 ? stdout : stderr; }

}  // namespace

Capture::Capture(unsigned streams) {
  if (streams & kStdout) take(&out_, 1);
  if (streams & kStderr) take(&err_, 2);
}

Capture::~Capture() {
  give_back(&out_);
  give_back(&err_);
}

void Capture::take(Taken* t, int fd) {
  std::fflush(stdio_of(fd));
  t->file = temp_file();
  t->saved = ::dup(fd);
  if (t->saved < 0 || ::dup2(fileno(t->file), fd) < 0) fail("cannot redirect a standard stream");
  t->fd = fd;
}

std::string Capture::give_back(Taken* t) {
  if (t->fd < 0) return t->text;
  std::fflush(stdio_of(t->fd));
  if (::dup2(t->saved, t->fd) < 0) fail("cannot restore a standard stream");
  ::close(t->saved);
  t->text = read_all(t->file);
  std::fclose(t->file);
  t->file = nullptr;
  t->fd = t->saved = -1;
  return t->text;
}

std::string Capture::out() { return give_back(&out_); }
std::string Capture::err() { return give_back(&err_); }

CapturedFile::CapturedFile() : file_(temp_file()) { std::setvbuf(file_, nullptr, _IONBF, 0); }
CapturedFile::~CapturedFile() { std::fclose(file_); }
std::string CapturedFile::text() const { return read_all(file_); }

std::string CapturedFile::take() {
  std::string text = read_all(file_);
  if (::ftruncate(fileno(file_), 0) != 0) fail("cannot empty a captured stream");
  std::rewind(file_);
  return text;
}

}  // namespace testkit
