// uploadcheck: imports the job set waiting in the upload directory. It takes no arguments.
#include <cstdio>

#include "upload/uploadcheck.h"

int main(int argc, char**) {
  if (argc > 1) std::fprintf(stderr, "uploadcheck takes no arguments; they are ignored\n");
  return upload::uploadcheck(upload::UploadConfig{});
}
