// thumbmaker: JPEG thumbnails of waiting jobs (no arguments) or of one job's pages.
#include "thumbs/thumbmaker.h"

int main(int argc, char** argv) { return thumbs::thumbmaker_main(argc, argv); }
