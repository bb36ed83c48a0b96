#include "testkit/capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/run.h"

namespace testkit {
namespace {

// Buffered stdio text, bytes written straight to the descriptor and a child program's output
// all land in the capture, beyond what a pipe could hold unread, and the streams work as
// before afterwards.
TEST(Capture, TakesEverythingWrittenToTheStreams) {
  const std::string big(200000, 'x');
  std::string out, err;
  int child = -1;
  {
    Capture c(kStdout | kStderr);
    std::fputs(big.c_str(), stdout);  // more than a pipe holds
    std::fflush(stdout);
    ASSERT_EQ(::write(1, "raw\n", 4), 4);
    std::fputs("to stderr\n", stderr);
    ld::RunOptions o;
    o.discard_output = false;
    child = ld::run_program({"/bin/echo", "child"}, o);
    std::fputs("last", stdout);  // not flushed by the test
    out = c.out();
    err = c.err();
    EXPECT_EQ(c.out(), out);  // asked again: the same text
  }
  std::string want = big + "raw\n" + (child == 0 ? "child\n" : "") + "last";
  EXPECT_EQ(out.size(), want.size());
  EXPECT_TRUE(out == want);
  EXPECT_EQ(err, "to stderr\n");
}

// A capture that goes without being read (an assertion left the test) gives the stream back to
// whatever held it before, here an outer capture.
TEST(Capture, GivesTheStreamBackWhenItGoesUnread) {
  Capture outer(kStderr);
  {
    Capture inner(kStdout | kStderr);
    std::fputs("dropped", stderr);
  }
  std::fputs("after\n", stderr);
  EXPECT_EQ(outer.err(), "after\n");
  EXPECT_EQ(outer.out(), "");  // never taken
}

TEST(CapturedFile, TextSoFarWhileTheStreamGoesOn) {
  CapturedFile f;
  std::fputs("one ", f.get());
  EXPECT_EQ(f.text(), "one ");
  std::fputs("two", f.get());
  EXPECT_EQ(f.text(), "one two");
}

}  // namespace
}  // namespace testkit
