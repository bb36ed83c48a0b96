// What the event log unit tests share: a temporary appliance root, a fake clock, and the two
// message streams of the code under test, whose text tests read back.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/handles.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace eventlog {

class EventLogTest : public ::testing::Test {
 protected:
  // What the code under test printed on "out" or "err".
  std::string printed(const std::string& name) { return (name == "out" ? out_text_ : err_text_).text(); }

  testkit::TempRoot root_;
  ld::FakeClock clock_;
  testkit::CapturedFile out_text_, err_text_;
  FILE* out_ = out_text_.get();
  FILE* err_ = err_text_.get();
};

}  // namespace eventlog
