// The files of an import: which entries of the upload folder are whole jobs, and their
// thumbnails' markers, both read without ever following a link. Placing them in the library is
// library/placing's.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "library/marker.h"

namespace upload {

// The three items that decide a job's fate; -1 when absent (a carried -1 is the same).
struct UploadItems {
  int32_t v8403 = -1, v8510 = -1, v8600 = -1;
};
// Takes an item into its value when it is one of the three (a later one replaces an earlier).
void take_upload_item(UploadItems* items, uint16_t id, int32_t value);

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
std::optional<library::tavu_data> read_thumb_marker(const std::string& path, int* error, bool* link);

}  // namespace upload
