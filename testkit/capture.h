// What the code under test prints, read back by the test: a Capture takes over standard output
// and/or standard error (the descriptors 1 and 2, so child programs and the stdio streams alike
// are caught) for its lifetime; a CapturedFile is a stdio stream handed to code that writes to
// the FILE* it is given (unbuffered, so a forked child's lines are not lost when it ends with
// _exit, and lines of several writers keep their order). Both keep the text in an unlinked
// temporary file, so nothing is left behind and the text may be of any size.
#pragma once
#include <cstdio>
#include <string>

namespace testkit {

enum StdStream : unsigned { kStdout = 1, kStderr = 2 };

class Capture {
 public:
  // streams: kStdout, kStderr or kStdout | kStderr. The stdio buffers are flushed first, so
  // nothing printed before lands in the capture.
  explicit Capture(unsigned streams);
  // Puts back whatever is still taken (also when an assertion left the test early).
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Ends the capture of that stream and returns what was written to it (the same text again on
  // later calls; empty for a stream this object did not take).
  std::string out();
  std::string err();

 private:
  struct Taken {
    int fd = -1;       // 1 or 2
    int saved = -1;    // the descriptor it had before
    FILE* file = nullptr;
    std::string text;
  };
  void take(Taken* t, int fd);
  static std::string give_back(Taken* t);

  Taken out_, err_;
};

class CapturedFile {
 public:
  CapturedFile();
  ~CapturedFile();
  CapturedFile(const CapturedFile&) = delete;
  CapturedFile& operator=(const CapturedFile&) = delete;

  FILE* get() const { return file_; }
  // Everything written to the stream so far.
  std::string text() const;
  // What was written since the last take (or since it was made), and empties the stream: a
  // test reads what one step printed, as it would from a Capture around that step.
  std::string take();

 private:
  FILE* file_;
};

}  // namespace testkit
