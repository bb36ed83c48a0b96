// File operations the programs need, done with system calls instead of "/bin/mv" and friends,
// so no file name ever passes through a shell. Each returns false and fills *err on failure.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace ld {

bool file_exists(const std::string& path);
bool is_directory(const std::string& path);
// Size of a regular file, or -1.
int64_t file_size(const std::string& path);

// rename(2), falling back to copy and remove across file systems.
bool move_file(const std::string& from, const std::string& to, std::string* err = nullptr);
// Moves `from` to `to` only when `to` does not exist, in one step (a rename that refuses to
// replace, else a hard link and the removal of the old name): of two moves to one name exactly
// one wins, and kExists tells the loser. Across file systems the name is checked, then the file
// copied. `durable`: the file's bytes are synced first and, after the move, the destination
// folder, then the source folder, so a power cut at any moment leaves the file whole under its
// old name, its new name or both, never neither.
enum class MoveResult { kMoved, kExists, kFailed };
MoveResult move_no_replace(const std::string& from, const std::string& to, std::string* err = nullptr,
                           bool durable = false);
// unlink(2); a missing file counts as removed.
bool remove_file(const std::string& path, std::string* err = nullptr);
// Removes a folder and everything below it (no links are followed).
bool remove_tree(const std::string& path, std::string* err = nullptr);
// Copies the bytes of a regular file, written under a temporary name and renamed into place.
bool copy_file(const std::string& from, const std::string& to, std::string* err = nullptr);
// Copies what is left of `in` to `out` from their current offsets. On failure, *err names
// `from` (a read failed) or `to` (a write failed) with the system error.
bool copy_fd(int in, int out, const std::string& from, const std::string& to,
             std::string* err = nullptr);
// mkdir -p.
bool make_dirs(const std::string& path, std::string* err = nullptr);
// Creates an empty file (or leaves an existing one as it is), like a flag file.
bool touch_file(const std::string& path, std::string* err = nullptr);

// Whole-file read; false when the file cannot be opened or read.
bool read_file(const std::string& path, std::string* out, std::string* err = nullptr);
// Writes `data` to "<path>.tmp<pid>" in the same folder, syncs it, renames it over `path`, then
// syncs the folder so the new name survives a power cut too. A reader sees the old file or the
// new one, never a part; after a cut the file holds the old bytes or the new ones.
bool write_file_atomic(const std::string& path, std::string_view data, std::string* err = nullptr);

// fsync(2) of a folder: makes the names created, renamed or removed in it durable. Without it
// a rename that returned may be undone by a power cut.
bool fsync_dir(const std::string& dir, std::string* err = nullptr);
// The folder part of a path ("." when it has none).
std::string dir_name(std::string_view path);

// Writes all of `n` bytes, retrying short writes and EINTR.
bool write_all(int fd, const void* data, size_t n);
// Reads until `n` bytes or end of file; returns the count read, or -1 on error.
long read_full(int fd, void* data, size_t n);

// The last component of a path, and the same without its extension.
std::string base_name(std::string_view path);
std::string strip_extension(std::string_view name);

}  // namespace ld
