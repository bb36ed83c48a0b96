// uploadcheck: imports the job set waiting in the upload directory. It takes no arguments.
#include <cstdio>

#include "common/run.h"
#include "upload/uploadcheck.h"

int main(int argc, char**) {
  ld::ignore_sigpipe();
  if (argc > 1) std::fprintf(stderr, "uploadcheck takes no arguments; they are ignored\n");
  return upload::uploadcheck(upload::UploadConfig{});
}
