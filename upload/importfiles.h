// The files of an import: which entries of the upload folder are whole jobs, their thumbnails'
// markers (both read without ever following a link), and putting a job into the library so that a job of the same name is
// replaced only once the new one is whole on the disk.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "upload/marker.h"

namespace upload {

// The three items that decide a job's fate; -1 when absent (a carried -1 is the same).
struct UploadItems {
  int32_t v8403 = -1, v8510 = -1, v8600 = -1;
};

// What stands under a job file's name in the upload folder.
enum class JobFile {
  kWhole,       // a regular file holding a whole job stream
  kLink,        // a symbolic link (never followed)
  kNotRegular,  // a directory, FIFO, socket or device, or gone
  kNotJob,      // a regular file that is no job stream (empty, text)
  kCut,         // a job stream cut short or broken before its END_DOC
};
// The reason shown in the refusal's log line.
const char* job_file_text(JobFile f);

// Judges `path` and, for a whole job, takes the three items from every START_DOC item before the
// first page (the last occurrence of an id counts). Whole: "JZJZ", a START_DOC chunk first,
// every chunk inside the file and an END_DOC chunk.
JobFile read_job_file(const std::string& path, UploadItems* items);

// The marker of a thumbnail, read without following a link and without blocking on a FIFO: a
// link or anything but a regular file is kJpegInvalid (*link says it was a link).
std::optional<tavu_data> read_thumb_marker(const std::string& path, int* error, bool* link);

// A file brought under a hidden name into a folder of the library (a second link to it, or a
// copy where no link can be made) and synced, waiting to be put in place. The file keeps its
// name where it came from until it is in place, so neither a failed import nor a power cut
// loses it; unless it is put in place the hidden name is removed.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Brings the regular file `from` (never a link) into `dir` (ending in "/").
  bool stage(const std::string& from, const std::string& dir, std::string* err);
  // Renames it over `to` (a file of that name is replaced in one step; a reader sees the old
  // file or the new one), makes the new name durable, then removes the name it came from.
  bool replace(const std::string& to, std::string* err);
  const std::string& hidden_path() const { return hidden_; }

 private:
  std::string from_, dir_, hidden_;
  bool placed_ = false;
};

}  // namespace upload
