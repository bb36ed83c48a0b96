#include "library/placing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "library/names.h"

namespace library {

namespace {

bool fail(std::string* err, const std::string& what, const std::string& path) {
  *err = what + " " + path + ": " + std::strerror(errno);
  return false;
}

// One file made whole on the file system of the folder it goes into: synced where it stands, or
// copied there under a scratch name (which goes again unless the copy is placed).
class Whole {
 public:
  Whole() = default;
  Whole(const Whole&) = delete;
  Whole& operator=(const Whole&) = delete;
  ~Whole() {
    if (!scratch_.empty()) ld::remove_file(scratch_);
  }

  bool prepare(const std::string& from, const std::string& dir, std::string* err) {
    from_ = from;
    // Never through a link, never blocking on a FIFO.
    ld::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st, to;
    if (!in.valid() || ::fstat(in.get(), &st) != 0) return fail(err, "cannot open", from);
    if (!S_ISREG(st.st_mode)) {
      *err = "cannot place " + from + ": not a regular file";
      return false;
    }
    // A folder that cannot be looked at is left to the move, which says why it fails.
    if (::stat(dir.c_str(), &to) != 0 || st.st_dev == to.st_dev) {
      if (::fsync(in.get()) != 0) return fail(err, "cannot sync", from);
      path_ = from;
      return true;
    }
    ScratchFile copy;
    if (!copy.create(dir, "placing", "", err) ||
        !ld::copy_fd(in.get(), copy.fd(), from, copy.path(), err) || !copy.finish(err))
      return false;
    path_ = scratch_ = copy.path();
    copy.release();
    return true;
  }
  const std::string& path() const { return path_; }
  // Where the file stood: its folder changed too once it moved.
  std::string from_dir() const { return ld::dir_name(from_); }
  // The file is in place: a copy's original goes.
  void placed() {
    if (scratch_.empty()) return;
    ld::remove_file(from_);
    scratch_.clear();
  }

 private:
  std::string from_, path_, scratch_;
};

// Syncs the folder a file went into and the one it came from.
void sync_move(const std::string& to_dir, const std::string& from_dir) {
  const std::string to = ld::dir_name(to_dir + "x");
  ld::fsync_dir(to);
  if (from_dir != to) ld::fsync_dir(from_dir);
}

bool taken(const Placement& p, const std::string& name) {
  if (ld::file_exists(p.dir + name)) return true;
  if (!p.thumbs.empty() && ld::file_exists(p.thumbs + thumb_name(name))) return true;
  for (const std::string& d : p.free_in)
    if (ld::file_exists(d + name)) return true;
  return false;
}

std::string candidate(const Placement& p, int i) { return i == 0 ? p.name : job_file_name(base_name(p.name), i); }

Placed replace_both(const Placement& p, Whole& job, Whole* thumb, std::string* stored, std::string* err) {
  const std::string job_to = p.dir + p.name;
  struct stat st;
  // Known before the thumbnail is replaced, so that the old job does not lose its thumbnail to
  // a new job that then cannot follow.
  if (::lstat(job_to.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *err = "cannot replace " + job_to + ": a folder";
    return Placed::kFailed;
  }
  if (thumb != nullptr) {
    const std::string thumb_to = p.thumbs + thumb_name(p.name);
    if (::rename(thumb->path().c_str(), thumb_to.c_str()) != 0) {
      fail(err, "cannot put", thumb_to + " in place");
      return Placed::kFailed;
    }
    thumb->placed();
    sync_move(p.thumbs, thumb->from_dir());
  }
  if (::rename(job.path().c_str(), job_to.c_str()) != 0) {
    fail(err, "cannot put", job_to + " in place");
    return Placed::kFailed;
  }
  job.placed();
  sync_move(p.dir, job.from_dir());
  *stored = p.name;
  return Placed::kPlaced;
}

}  // namespace

ScratchFile::~ScratchFile() {
  fd_.reset();
  if (!path_.empty()) ld::remove_file(path_);
}

bool ScratchFile::create(std::string_view dir, std::string_view tag, std::string_view ext, std::string* err) {
  fd_ = make_scratch(dir, tag, ext, &path_);
  if (!fd_.valid()) {
    path_.clear();
    *err = "cannot create a file in " + std::string(dir) + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd_.get(), 0644);
  return true;
}

bool ScratchFile::finish(std::string* err) {
  if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0) return fail(err, "cannot write", path_);
  return true;
}

std::string first_free_name(const Placement& p) {
  for (int i = 0; i <= p.max_suffix; ++i)
    if (!taken(p, candidate(p, i))) return candidate(p, i);
  return "";
}

Placed place_job(const Placement& p, std::string* stored, std::string* err) {
  Whole job, thumb;
  const bool with_thumb = !p.thumb.empty();
  if (!job.prepare(p.job, p.dir, err) || (with_thumb && !thumb.prepare(p.thumb, p.thumbs, err)))
    return Placed::kFailed;
  if (p.replace) return replace_both(p, job, with_thumb ? &thumb : nullptr, stored, err);
  for (int i = 0; i <= p.max_suffix; ++i) {
    const std::string name = candidate(p, i);
    if (taken(p, name)) continue;
    const std::string job_to = p.dir + name, thumb_to = p.thumbs + thumb_name(name);
    // Thumbnail first, its folder synced before the job moves: after a power cut a job in the
    // library has its thumbnail.
    if (with_thumb) {
      const ld::MoveResult t = ld::move_no_replace(thumb.path(), thumb_to, err);
      if (t == ld::MoveResult::kExists) continue;
      if (t == ld::MoveResult::kFailed) return Placed::kFailed;
      sync_move(p.thumbs, ld::dir_name(thumb.path()));
    }
    const ld::MoveResult m = ld::move_no_replace(job.path(), job_to, err);
    if (m == ld::MoveResult::kMoved) {
      job.placed();
      if (with_thumb) thumb.placed();
      sync_move(p.dir, job.from_dir());
      *stored = name;
      return Placed::kPlaced;
    }
    // Another file took the name meanwhile: the thumbnail comes back with the job.
    if (with_thumb) ::rename(thumb_to.c_str(), thumb.path().c_str());
    if (m == ld::MoveResult::kFailed) return Placed::kFailed;
  }
  return Placed::kNoName;
}

}  // namespace library
