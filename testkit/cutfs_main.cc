#include "common/run.h"
#include "testkit/cutfs.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  return testkit::cutfs_main(argc, argv);
}
