// Putting a job into a folder of the library: the one road by which the receiver stores a new
// job, the thumbnail maker moves a finished one into the library and the import brings a job
// set's jobs in. A job shows under a job name only once it is whole on the disk, and a name that
// a reader could take for a job is never replaced, unless the caller asks for the import's
// same-name replace (the old job then stays until the new one is whole).
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"

namespace library {

// A file being written under a hidden scratch name in a folder of the library ("<dir>.<tag>-
// XXXXXX<ext>", mode 0644: the web server's user reads stored jobs too). Removed when it goes
// out of scope unless it was placed (release()).
class ScratchFile {
 public:
  ScratchFile() = default;
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile();

  bool create(std::string_view dir, std::string_view tag, std::string_view ext, std::string* err);
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Syncs the bytes to the disk and closes the file.
  bool finish(std::string* err);
  // The file has been put in place under another name: nothing to remove.
  void release() { path_.clear(); }

 private:
  ld::UniqueFd fd_;
  std::string path_;
};

// A job, with or without its thumbnail, on its way into a folder.
struct Placement {
  std::string job;     // the whole job file: a scratch file in `dir`, or anywhere
  std::string thumb;   // its thumbnail, or "" for a job that waits for one
  std::string dir;     // where the job goes (ends in "/")
  // Where the thumbnail goes (ends in "/"); with no thumbnail to move, a folder in which the
  // name's thumbnail must be free too. Empty: no thumbnail folder is looked at.
  std::string thumbs;
  std::string name;    // the file name wanted
  // Further folders (ending in "/") in which a name in use counts as taken.
  std::vector<std::string> free_in;
  // The import's replace: the job and thumbnail under `name` are replaced, each in one step.
  bool replace = false;
  // Without replace, a taken name is followed by "<base>1.prn" ... up to this number.
  int max_suffix = 999999;
};

enum class Placed { kPlaced, kNoName, kFailed };

// Puts p.job (and p.thumb) in place. Each file is first made whole on its folder's file system:
// synced where it stands, or, coming from another file system, copied under a hidden scratch
// name there and synced. Without replace, the name is the first of p.name, "<base>1.prn", ...
// that is free in p.dir, p.free_in and (for the thumbnail) p.thumbs; each file is moved without
// replacing anything (the thumbnail first, so a job in the library always has one; a job that
// loses its name to a file that appeared meanwhile takes its thumbnail back and tries the next
// name). With replace, a folder under the name refuses the replace before anything moves, then
// the thumbnail and the job are renamed over the old ones. Then every folder that changed is
// synced, so a placed job survives a power cut. *stored is the name it got. On kNoName or
// kFailed (with *err) the files stand where they stood (a replace whose job could not follow
// keeps the new thumbnail); a copy made on the way is removed.
Placed place_job(const Placement& p, std::string* stored, std::string* err);

// The name place_job would try first: the first free one, "" when none is.
std::string first_free_name(const Placement& p);

}  // namespace library
