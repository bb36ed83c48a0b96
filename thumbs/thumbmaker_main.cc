// thumbmaker: JPEG thumbnails of waiting jobs (no arguments) or of one job's pages.
#include "common/run.h"
#include "thumbs/thumbmaker.h"

int main(int argc, char** argv) {
  ld::ignore_sigpipe();
  return thumbs::thumbmaker_main(argc, argv);
}
