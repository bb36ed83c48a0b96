// What the event log unit tests share: a temporary appliance root, a fake clock, and the two
// message streams of the code under test kept as files, so tests can read what was printed.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/clock.h"
#include "common/handles.h"
#include "testkit/scenario.h"

namespace eventlog {

class EventLogTest : public ::testing::Test {
 protected:
  std::string printed(const std::string& name) {
    std::fflush(nullptr);
    return testkit::slurp(root_("/" + name));
  }

  testkit::TempRoot root_;
  ld::FakeClock clock_;
  ld::UniqueFile out_file_{std::fopen(root_("/out").c_str(), "w")};
  ld::UniqueFile err_file_{std::fopen(root_("/err").c_str(), "w")};
  FILE* out_ = out_file_.get();
  FILE* err_ = err_file_.get();
};

}  // namespace eventlog
