// upload_prns: stand-in for the appliance's "/home/pi/upload_prns.sh <job set folder>": copies
// the set into the upload directory and runs uploadcheck. Installed as a symbolic link to this
// program, so uploadcheck is found beside the real file.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/run.h"
#include "testkit/usbstandins.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  if (argc != 2) {
    std::fprintf(stderr, "usage: upload_prns.sh JOB_SET_FOLDER\n");
    return 2;
  }
  char self[PATH_MAX];
  if (!::realpath("/proc/self/exe", self)) {
    std::perror("upload_prns: /proc/self/exe");
    return 1;
  }
  std::string dir = self;
  dir = dir.substr(0, dir.rfind('/'));
  std::string err;
  int rc = testkit::upload_job_set(argv[1], dir + "/uploadcheck", &err);
  if (rc < 0) std::fprintf(stderr, "upload_prns: %s\n", err.c_str());
  return rc < 0 ? 1 : rc;
}
