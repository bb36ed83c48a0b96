#include "eventlog/logfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fsops.h"
#include "eventlog/logline.h"

namespace eventlog {
namespace {

// Open day files kept at once; each tag an outsider invents would otherwise hold a descriptor.
constexpr size_t kMaxOpenFiles = 32;
// Records gathered for one file before they are written even within a batch.
constexpr size_t kMaxPending = 64 * 1024;
// Rotated names tried within one minute before the file is left to grow.
constexpr int kMaxRotations = 1000;

}  // namespace

LogStore::LogStore(std::string dir, ld::Clock* clock, FILE* out, FILE* err)
    : dir_(std::move(dir)), clock_(clock), out_(out), err_(err) {}

LogStore::~LogStore() { flush(); }

bool LogStore::append(std::string_view tag, std::string_view message) {
  time_t now = clock_->now();
  if (now != stamp_time_) {
    stamp_time_ = now;
    tm_ = local_time(now);
    stamp_ = time_stamp(tm_);
  }
  File* f = open_file(tag, tm_);
  if (f == nullptr) return false;
  append_record(stamp_, message, &f->pending);
  if (f->pending.size() >= kMaxPending) write_pending(f);
  return true;
}

void LogStore::flush() {
  for (auto& [tag, f] : files_) {
    write_pending(&f);
    f.checked = false;
  }
}

LogStore::File* LogStore::open_file(std::string_view tag, const std::tm& t) {
  int day = t.tm_year * 400 + t.tm_yday;
  auto it = files_.find(tag);
  File* f = it == files_.end() ? nullptr : &it->second;
  // Looked up already in this batch and still the same day: only the size can have changed.
  bool current = f != nullptr && f->fd.valid() && f->checked && f->day == day;
  if (!current) {
    if ((f = find_day_file(tag, t, day)) == nullptr) return nullptr;
    refresh_size(f);
  }
  if (needs_rotation(f->size + static_cast<int64_t>(f->pending.size()))) rotate(f, tag, t);
  return f->fd.valid() ? f : nullptr;
}

LogStore::File* LogStore::find_day_file(std::string_view tag, const std::tm& t, int day) {
  std::string path = day_file_name(dir_, tag, t);
  auto it = files_.find(tag);
  if (it == files_.end()) {
    if (files_.size() >= kMaxOpenFiles) {
      flush();
      files_.clear();
    }
    it = files_.emplace(std::string(tag), File{}).first;
  }
  File* f = &it->second;
  // A new day, or the file was moved or removed behind our back: write what is gathered to the
  // old descriptor and start on the file that the name now stands for.
  if (f->fd.valid() && f->path != path) {
    write_pending(f);
    f->fd.reset();
  }
  if (f->fd.valid()) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || st.st_dev != f->dev || st.st_ino != f->ino) {
      write_pending(f);
      f->fd.reset();
    }
  }
  if (!f->fd.valid()) {
    f->path = path;
    f->day = day;
    std::string err;
    if (!open_path(f, &err)) {
      std::fprintf(err_, "ERROR open_file: cannot open %s: %s, line dropped\n", path.c_str(), err.c_str());
      files_.erase(it);
      return nullptr;
    }
  }
  f->checked = true;
  return f;
}

bool LogStore::open_path(File* f, std::string* err) {
  f->fd.reset(::open(f->path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  struct stat st;
  if (!f->fd.valid() || ::fstat(f->fd.get(), &st) != 0) {
    *err = std::strerror(errno);
    f->fd.reset();
    return false;
  }
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  f->size = st.st_size;
  f->grace = 0;
  return true;
}

void LogStore::refresh_size(File* f) {
  struct stat st;
  if (!f->fd.valid() || ::fstat(f->fd.get(), &st) != 0) return;
  if (st.st_size < f->grace) f->grace = 0;
  f->size = st.st_size - f->grace;
}

void LogStore::rotate(File* f, std::string_view tag, const std::tm& t) {
  write_pending(f);
  f->fd.reset();
  // Busy minutes rotate many times: go on from the last counter used instead of trying each.
  int minute = (t.tm_year * 400 + t.tm_yday) * 1440 + t.tm_hour * 60 + t.tm_min;
  if (minute != f->rotated_minute) f->next_rotation = 1;
  f->rotated_minute = minute;
  std::string target;
  for (int n = f->next_rotation; n <= kMaxRotations && target.empty(); ++n) {
    std::string name = rotated_file_name(dir_, tag, t, n);
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT) {
      target = name;
      f->next_rotation = n + 1;
    }
  }
  std::string err;
  if (target.empty()) {
    std::fprintf(err_, "ERROR open_file: no free name to rotate %s\n", f->path.c_str());
  } else if (::rename(f->path.c_str(), target.c_str()) != 0) {
    std::fprintf(err_, "ERROR open_file: cannot rotate %s: %s\n", f->path.c_str(), std::strerror(errno));
  } else if (!ld::fsync_dir(dir_, &err)) {
    // Without it a cut could keep the new day file under the name and lose the old one's.
    std::fprintf(err_, "ERROR open_file: cannot sync %s: %s\n", dir_.c_str(), err.c_str());
    err.clear();
  }
  if (!open_path(f, &err)) {
    std::fprintf(err_, "ERROR open_file: cannot open %s: %s, line dropped\n", f->path.c_str(), err.c_str());
    return;
  }
  // The file could not be moved aside: keep writing to it (better one large file than lost
  // lines) and try again only after another rotation's worth, not before every record.
  if (needs_rotation(f->size)) {
    f->grace = f->size;
    f->size = 0;
  }
}

void LogStore::write_pending(File* f) {
  if (f->pending.empty()) return;
  // Each batch is synced as soon as it is written, so a power cut takes at most the batch being
  // written: the board logs a few lines a second at most, and one fsync per batch of input (not
  // per line) keeps even a burst cheap. The fsync also makes a new day file's name durable.
  if (f->fd.valid() && ld::write_all(f->fd.get(), f->pending.data(), f->pending.size())) {
    f->size += static_cast<int64_t>(f->pending.size());
    if (::fsync(f->fd.get()) != 0)
      std::fprintf(err_, "ERROR write: cannot sync %s: %s\n", f->path.c_str(), std::strerror(errno));
  } else {
    std::fprintf(out_, "\n Error : Fputs error\n");
  }
  f->pending.clear();
}

}  // namespace eventlog
