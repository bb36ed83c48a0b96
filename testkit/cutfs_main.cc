#include "testkit/cutfs.h"

int main(int argc, char** argv) { return testkit::cutfs_main(argc, argv); }
