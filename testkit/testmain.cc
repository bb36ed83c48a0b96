// The main of every test binary: the programs' SIGPIPE rule first, so the code under test runs
// as it does in the programs, then GoogleTest.
#include "common/run.h"
#include "gtest/gtest.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
