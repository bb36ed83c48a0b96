// thumbmaker: renders the first page (or every page) of jobs into marked JPEG thumbnails. Run
// without arguments it finishes the arrival of every job waiting in "/print/prns/tmp/": the
// thumbnail goes to "/print/prns/thumbs/", the job to "/print/prns/".
#pragma once
#include <cstdio>
#include <functional>
#include <string>

#include "common/clock.h"
#include "common/handles.h"
#include "thumbs/thumbjpeg.h"
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
// (its message printed to out; the usage, for an option without its value, to err).
int parse_thumb_args(int argc, char** argv, ThumbOptions* o, FILE* out, FILE* err = stderr);

// Writes a thumbnail into an open file (write_thumbnail_fd; tests put a failing one in).
using ThumbWriter = std::function<bool(int fd, const std::string& path, const ThumbPicture& pic, std::string* err)>;

struct ThumbContext {
  FILE* out = stdout;
  FILE* err = stderr;
  ld::Clock* clock = &ld::system_clock();
  ThumbWriter write_fd = write_thumbnail_fd;
};

enum class Rendered { kPicture, kPlaceholder, kMissing, kFatal };

// Renders page n of an open job into path (or, with fd given, into that open file named path).
// kFatal: the picture could not be made or written; a run over one job ends with *exit_status.
Rendered render_page(ZxDoc& doc, int n, const std::string& path, const ThumbOptions& o,
                     ThumbContext& ctx, int* exit_status, int fd = -1);

// Where jobs that are not job streams at all are moved, out of the waiting directory.
std::string rejected_dir();

// The working picture of a waiting job is held under an exclusive lock (flock) from its creation
// until it is moved into place, so a run can tell a picture in work from one whose writer is gone.
enum class Claim { kClaimed, kStale, kInWork, kFailed };
// Creates and locks the working picture, or takes over and locks one whose writer is gone
// (kStale); kInWork when a live run holds it. *fd holds the lock while it stays open.
Claim claim_working_picture(const std::string& work, ld::UniqueFd* fd, std::string* err);

// The run with a job path, and the run over the waiting directory. Both return the exit status;
// the waiting run takes every job it can and ends with 1 when a thumbnail could not be written.
int render_job(const ThumbOptions& o, ThumbContext& ctx);
int process_waiting(const ThumbOptions& o, ThumbContext& ctx);

int thumbmaker_main(int argc, char** argv);

}  // namespace thumbs
