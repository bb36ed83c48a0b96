// thumbmaker: renders the first page (or every page) of jobs into marked JPEG thumbnails. Run
// without arguments it finishes the arrival of every job waiting in "/print/prns/tmp/": the
// thumbnail goes to "/print/prns/thumbs/", the job to "/print/prns/".
#pragma once
#include <cstdio>
#include <string>

#include "common/clock.h"
#include "thumbs/zxdoc.h"

namespace thumbs {

struct ThumbOptions {
  int debug = 0;
  bool all = false;
  int start_page = 0;
  int scale = 2;
  bool scale_given = false;  // "-q" given: the reduction factor is at least its value
  std::string job;           // empty: process the waiting directory
};

// Parses the command line. Returns -1 to go on, or the exit status when the run ends here
// (its message printed to out).
int parse_thumb_args(int argc, char** argv, ThumbOptions* o, FILE* out);

struct ThumbContext {
  FILE* out = stdout;
  FILE* err = stderr;
  ld::Clock* clock = &ld::system_clock();
};

enum class Rendered { kPicture, kPlaceholder, kMissing, kFatal };

// Renders page n of an open job into path. kFatal ends the run with *exit_status.
Rendered render_page(ZxDoc& doc, int n, const std::string& path, const ThumbOptions& o,
                     ThumbContext& ctx, int* exit_status);

// Where jobs that are not job streams at all are moved, out of the waiting directory.
std::string rejected_dir();

// The run with a job path, and the run over the waiting directory. Both return the exit status.
int render_job(const ThumbOptions& o, ThumbContext& ctx);
int process_waiting(const ThumbOptions& o, ThumbContext& ctx);

int thumbmaker_main(int argc, char** argv);

}  // namespace thumbs
