#include "thumbs/thumbmaker.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/fsops.h"
#include "common/handles.h"
#include "library/folders.h"
#include "library/listing.h"
#include "library/names.h"
#include "library/placing.h"
#include "thumbs/pagecanvas.h"
#include "thumbs/pagedecode.h"
#include "thumbs/thumbjpeg.h"

namespace thumbs {

int parse_thumb_args(int argc, char** argv, ThumbOptions* o, FILE* out, FILE* err) {
  *o = ThumbOptions();
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if ((std::strcmp(a, "-p") == 0 || std::strcmp(a, "-q") == 0) && i + 1 >= argc) {
      // Without its value the call is mistyped: running it would take the waiting jobs.
      std::fprintf(err, "thumbmaker: %s needs a value\n"
                        "usage: thumbmaker [-d[d[d]]] [-a] [-p PAGE] [-q SCALE] [JOB]\n", a);
      return 1;
    }
    if (std::strncmp(a, "-d", 2) == 0) {
      o->debug = a[2] == 'd' ? (a[3] == 'd' ? 3 : 2) : 1;
    } else if (std::strcmp(a, "-a") == 0) {
      o->all = true;
    } else if (std::strcmp(a, "-p") == 0) {
      o->start_page = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(a, "-q") == 0) {
      int q = std::atoi(argv[++i]);
      if (q < 1 || q > 255) {
        std::fprintf(out, "invalid scale factor\n");
        return 0;
      }
      o->scale = q;
      o->scale_given = true;
    } else if (a[0] == '-' && a[1] != '\0') {
      std::fprintf(err, "thumbmaker: unknown option %s ignored\n", a);
    } else {
      o->job = a;
    }
  }
  if (!o->job.empty() && ld::is_directory(o->job)) {
    std::fprintf(out, "invalid prn!\n");
    return 0;
  }
  return -1;
}

std::string rejected_dir() { return library::rejected_dir(); }

Rendered render_page(ZxDoc& doc, int n, const std::string& path, const ThumbOptions& o,
                     ThumbContext& ctx, int* exit_status, int fd) {
  int pages = 0;
  const ZxObject* page = doc.find_page(n, &pages);
  if (page == nullptr) return Rendered::kMissing;

  PageInfo info;
  std::string why;
  bool ok = page_info(doc, page, &info, &why);
  Geometry g;
  if (ok) {
    g = thumb_geometry(info.width, info.height, o.scale_given ? static_cast<uint32_t>(o.scale) : 1);
    if (g.out_width == 0 || g.out_height == 0) {
      ok = false;
      why = "page too small for a picture";
    }
  }
  PageCanvas canvas;
  if (ok) {
    ColorFormat fmt;
    fmt.format = info.format;
    if (!canvas.init(g, fmt)) {
      std::fprintf(ctx.out, "Cannot alloc image_buffer\n");
      *exit_status = 0;
      return Rendered::kFatal;
    }
    if (o.debug > 0)
      std::fprintf(ctx.err, "page %d: %u x %u, factor %u, picture %u x %u\n", n, info.width,
                   info.height, g.factor, g.out_width, g.out_height);
    if (decode_page(doc, page, info, &canvas, ctx.out, &why) < 0) ok = false;
  }

  const uint8_t* rgb = canvas.rgb().data();
  uint32_t w = g.out_width, h = g.out_height;
  std::vector<uint8_t> holder;
  if (!ok) {
    // Without a marked thumbnail the job browser would throw the job away: a neutral picture of
    // the page's proportions keeps it, and tells the user the page could not be shown.
    std::fprintf(ctx.out, "page %d of %s cannot be decoded (%s): placeholder thumbnail\n", n,
                 doc.path().c_str(), why.c_str());
    placeholder_picture(info.width, info.height, &holder, &w, &h);
    rgb = holder.data();
  }
  std::fflush(ctx.out);
  std::string err;
  const ThumbPicture pic{rgb, w, h, n, pages, info.marker_value};
  if (fd >= 0 ? !ctx.write_fd(fd, path, pic, &err)
              : !write_thumbnail(path, rgb, w, h, n, pages, info.marker_value, &err)) {
    // The writers' messages already tell a file that cannot be created ("can't open PATH") from
    // one that cannot be written whole.
    std::fprintf(ctx.err, "%s\n", err.c_str());
    *exit_status = 1;
    return Rendered::kFatal;
  }
  return ok ? Rendered::kPicture : Rendered::kPlaceholder;
}

int render_job(const ThumbOptions& o, ThumbContext& ctx) {
  ZxDoc doc;
  std::string err;
  if (!doc.open(o.job, &err)) {
    std::fprintf(ctx.out, "could not open file\n");
    return 0;
  }
  doc.read();
  // The pictures sit beside the job, named after its base name.
  size_t slash = o.job.rfind('/');
  std::string dir = slash == std::string::npos ? "" : o.job.substr(0, slash + 1);
  std::string stem = dir + library::base_name(o.job.substr(dir.size()));
  int status = 0;
  if (!o.all) {
    if (render_page(doc, o.start_page, dir + library::thumb_name(o.job.substr(dir.size())), o, ctx, &status) == Rendered::kFatal)
      return status;
    return 0;
  }
  for (int p = o.start_page;; ++p) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%03d_small.jpeg", p);
    Rendered r = render_page(doc, p, stem + suffix, o, ctx, &status);
    if (r == Rendered::kFatal) return status;
    if (r == Rendered::kMissing) break;
  }
  return 0;
}

namespace {

// Moves a file that is no job out of the waiting directory, under a name not taken yet, so that
// no later run meets it again.
void reject(const std::string& src, const std::string& name, const char* what, ThumbContext& ctx) {
  std::string dir = rejected_dir();
  ld::make_dirs(dir);
  std::string to = dir + name;
  for (int i = 1; ld::file_exists(to) && i < 1000; ++i) to = dir + name + "-" + std::to_string(i);
  std::string err;
  if (ld::move_file(src, to, &err)) std::fprintf(ctx.out, "%s: %s moved to %s\n", what, src.c_str(), to.c_str());
  else std::fprintf(ctx.out, "%s: %s could not be moved: %s\n", what, src.c_str(), err.c_str());
}

// FIFOs, devices and sockets under a job name: opening one would block or fail on every run.
bool special_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

// Paths of one waiting job.
struct WaitingJob {
  std::string name, src, work, thumb, dest;
};

// Highest number tried after a job's name when the library holds that name already.
constexpr int kMaxSuffix = 9999;

// Moves the finished picture and the job into the library without ever replacing a job or a
// thumbnail there. The receiver chose a name free in the library, but the name may have been
// taken since (an import, a rename in the job browser): the job then takes the first free
// numbered name, its thumbnail with it. A picture that cannot be moved keeps the job waiting:
// the library drops a job that has no thumbnail, and the next run starts over on it.
// Picture first, then job, each durable: after a power cut a job in the library has its
// thumbnail, and a job still waiting is taken up again.
void place_in_library(const WaitingJob& j, bool picture, ThumbContext& ctx) {
  library::Placement p;
  p.job = j.src;
  p.dir = ld::dir_name(j.dest) + "/";
  if (picture) {
    p.thumb = j.work;
    p.thumbs = ld::dir_name(j.thumb) + "/";
  }
  p.name = j.name;
  p.max_suffix = kMaxSuffix;
  std::string stored, err;
  switch (library::place_job(p, &stored, &err)) {
    case library::Placed::kPlaced:
      if (stored != j.name)
        std::fprintf(ctx.out, "%s is taken in the library: stored as %s\n", j.name.c_str(), stored.c_str());
      return;
    case library::Placed::kNoName:
      std::fprintf(ctx.out, "no free name in the library for %s\n", j.src.c_str());
      break;
    case library::Placed::kFailed:
      std::fprintf(ctx.out, "%s\n", err.c_str());
      break;
  }
  ld::remove_file(j.work);
}

// Renders one waiting job into its working picture (fd, locked) and moves picture and job into
// place. False when its thumbnail could not be made or written: the job is left waiting.
bool finish_job(const WaitingJob& j, int fd, const ThumbOptions& o, ThumbContext& ctx) {
  ZxDoc doc;
  std::string err;
  if (!doc.open(j.src, &err)) {
    // One job that cannot be opened must not keep the others from their thumbnails.
    std::fprintf(ctx.out, "could not open file\n");
    std::fprintf(ctx.out, "skipped %s: %s\n", j.src.c_str(), err.c_str());
    ld::remove_file(j.work);
    return true;
  }
  if (doc.read() == kZjsBadSignature) {
    ld::remove_file(j.work);
    reject(j.src, j.name, "not a job stream", ctx);
    return true;
  }
  int status = 0;
  Rendered r = render_page(doc, 0, j.work, o, ctx, &status, fd);
  if (r == Rendered::kFatal) {
    // A full disk or a page too large for memory fails this job alone; the jobs after it are
    // still taken, and the next run tries this one again.
    ld::remove_file(j.work);
    std::fprintf(ctx.out, "skipped %s for this run: no thumbnail\n", j.src.c_str());
    return false;
  }
  if (r == Rendered::kMissing) ld::remove_file(j.work);
  ctx.clock->sleep_ms(1000);
  place_in_library(j, r != Rendered::kMissing, ctx);
  return true;
}

bool same_file(int fd, const std::string& path) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

}  // namespace

Claim claim_working_picture(const std::string& work, ld::UniqueFd* fd, std::string* err) {
  fd->reset(::open(work.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (fd->valid()) {
    // Between the creation and the lock another run may have taken it for a stale one; then it
    // is that run's.
    if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
      fd->reset();
      return Claim::kInWork;
    }
    return Claim::kClaimed;
  }
  if (errno == EEXIST) {
    fd->reset(::open(work.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!fd->valid() && errno == ENOENT) return Claim::kInWork;  // just moved into place
  }
  if (!fd->valid()) {
    if (err) *err = "cannot open " + work + ": " + std::strerror(errno);
    return Claim::kFailed;
  }
  // A live writer holds the lock until the picture is in place; a picture that is still under
  // its name once the lock is ours was left by a run that stopped.
  if (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0 || !same_file(fd->get(), work)) {
    fd->reset();
    return Claim::kInWork;
  }
  return Claim::kStale;
}

int process_waiting(const ThumbOptions& o, ThumbContext& ctx) {
  const std::string wait = library::waiting_dir();
  // Hidden names are files still being written by the receiver: no job names.
  std::vector<std::string> names;
  if (!library::list_names(wait, &names, library::is_job_name)) {
    std::perror("could not open");
    return 0;
  }
  std::sort(names.begin(), names.end());

  const std::string work_dir = library::work_dir();
  const std::string thumb_dir = library::thumbs_dir();
  int status = 0;
  for (const std::string& name : names) {
    std::string src = wait + name;
    if (ld::is_directory(src)) continue;
    std::string work = work_dir + library::thumb_name(name);
    std::string thumb = thumb_dir + library::thumb_name(name);
    std::string dest = library::jobs_dir() + name;
    if (special_file(src)) {
      reject(src, name, "not a regular file", ctx);
      continue;
    }
    ld::make_dirs(work_dir);
    ld::make_dirs(thumb_dir);
    ld::UniqueFd fd;
    std::string err;
    Claim claim = claim_working_picture(work, &fd, &err);
    if (claim == Claim::kInWork) continue;
    if (claim == Claim::kFailed) {
      std::fprintf(ctx.out, "skipped %s: %s\n", src.c_str(), err.c_str());
      continue;
    }
    if (claim == Claim::kStale)
      std::fprintf(ctx.out, "taking up %s again: its working picture was left by a run that stopped\n", src.c_str());
    if (!finish_job({name, src, work, thumb, dest}, fd.get(), o, ctx)) status = 1;
  }
  return status;
}

int thumbmaker_main(int argc, char** argv) {
  ThumbOptions o;
  int rc = parse_thumb_args(argc, argv, &o, stdout);
  if (rc >= 0) return rc;
  ThumbContext ctx;
  return o.job.empty() ? process_waiting(o, ctx) : render_job(o, ctx);
}

}  // namespace thumbs
