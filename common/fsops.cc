#include "common/fsops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/handles.h"
#include "common/listing.h"

namespace ld {
namespace {

bool fail(std::string* err, const std::string& what, const std::string& path) {
  if (err != nullptr) *err = what + " " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool file_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool write_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

long read_full(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<long>(got);
}

bool copy_fd(int in, int out, const std::string& from, const std::string& to, std::string* err) {
  static constexpr size_t kBlock = 1 << 16;
  char buf[kBlock];
  for (;;) {
    ssize_t r = ::read(in, buf, kBlock);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return fail(err, "cannot read", from);
    if (r == 0) return true;
    if (!write_all(out, buf, static_cast<size_t>(r))) return fail(err, "cannot write", to);
  }
}

bool copy_file(const std::string& from, const std::string& to, std::string* err) {
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return fail(err, "cannot open", from);
  std::string tmp = to + ".tmp" + std::to_string(::getpid());
  UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return fail(err, "cannot create", tmp);
  if (!copy_fd(in.get(), out.get(), from, tmp, err)) {
    ::unlink(tmp.c_str());
    return false;
  }
  if (::fsync(out.get()) != 0 || ::close(out.release()) != 0) {
    fail(err, "cannot write", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), to.c_str()) != 0) {
    fail(err, "cannot rename to", to);
    ::unlink(tmp.c_str());
    return false;
  }
  return fsync_dir(dir_name(to), err);
}

bool move_file(const std::string& from, const std::string& to, std::string* err) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return fail(err, "cannot move", from);
  if (!copy_file(from, to, err)) return false;
  return remove_file(from, err);
}

namespace {

MoveResult move_once(const std::string& from, const std::string& to, std::string* err) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return MoveResult::kMoved;
  if (errno == EEXIST) return MoveResult::kExists;
  if (errno == EXDEV) {
    if (file_exists(to)) return MoveResult::kExists;
    return move_file(from, to, err) ? MoveResult::kMoved : MoveResult::kFailed;
  }
  if (errno == EINVAL || errno == ENOSYS || errno == EPERM || errno == EOPNOTSUPP) {
    // A file system without the flag: a hard link never replaces a name either.
    if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) == 0) return MoveResult::kMoved;
      fail(err, "cannot remove", from);
      ::unlink(to.c_str());
      return MoveResult::kFailed;
    }
    if (errno == EEXIST) return MoveResult::kExists;
  }
  fail(err, "cannot move " + from + " to", to);
  return MoveResult::kFailed;
}

}  // namespace

MoveResult move_no_replace(const std::string& from, const std::string& to, std::string* err,
                           bool durable) {
  if (durable) {
    const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(err, "cannot open", from), MoveResult::kFailed;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced) return fail(err, "cannot sync", from), MoveResult::kFailed;
  }
  const MoveResult r = move_once(from, to, err);
  if (r == MoveResult::kMoved && durable) {
    // The move has happened: a folder that cannot be synced is no reason to undo it.
    const std::string to_dir = dir_name(to), from_dir = dir_name(from);
    fsync_dir(to_dir);
    if (from_dir != to_dir) fsync_dir(from_dir);
  }
  return r;
}

bool remove_file(const std::string& path, std::string* err) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return fail(err, "cannot remove", path);
}

bool remove_tree(const std::string& path, std::string* err) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? true : fail(err, "cannot stat", path);
  if (!S_ISDIR(st.st_mode)) return remove_file(path, err);
  bool ok = true;
  {
    DirReader d(path);
    if (!d.ok()) return fail(err, "cannot open", path);
    while (const char* name = d.next()) ok = remove_tree(path + "/" + name, err) && ok;
  }
  if (::rmdir(path.c_str()) != 0) return fail(err, "cannot remove", path);
  return ok;
}

bool make_dirs(const std::string& path, std::string* err) {
  if (path.empty()) return true;
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    cur = path.substr(0, pos);
    if (cur.empty()) continue;
    if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return fail(err, "cannot create", cur);
  }
  if (!is_directory(path)) {
    errno = ENOTDIR;
    return fail(err, "cannot create", path);
  }
  return true;
}

bool touch_file(const std::string& path, std::string* err) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail(err, "cannot create", path);
  return true;
}

bool read_file(const std::string& path, std::string* out, std::string* err) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(err, "cannot open", path);
  out->clear();
  char buf[1 << 14];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return fail(err, "cannot read", path);
    if (r == 0) return true;
    out->append(buf, static_cast<size_t>(r));
  }
}

bool write_file_atomic(const std::string& path, std::string_view data, std::string* err) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return fail(err, "cannot create", tmp);
  if (!write_all(fd.get(), data.data(), data.size()) || ::fsync(fd.get()) != 0 ||
      ::close(fd.release()) != 0) {
    fail(err, "cannot write", tmp);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    fail(err, "cannot rename to", path);
    ::unlink(tmp.c_str());
    return false;
  }
  return fsync_dir(dir_name(path), err);
}

bool fsync_dir(const std::string& dir, std::string* err) {
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fail(err, "cannot open", dir);
  if (::fsync(fd.get()) != 0) return fail(err, "cannot sync", dir);
  return true;
}

std::string dir_name(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string base_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string strip_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(name);
  return std::string(name.substr(0, dot));
}

}  // namespace ld
