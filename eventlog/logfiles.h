// The day files of the event log: one file per tag and local date under the log folder, moved
// aside once it grows past the rotation size. Records are gathered per file and written out by
// flush(), which the server calls after each batch of input, so a burst costs few writes; each
// write is synced at once, so a power cut loses at most the batch being written.
#pragma once
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "common/clock.h"
#include "common/handles.h"

namespace eventlog {

class LogStore {
 public:
  // Messages about dropped lines go to `err`; the write failure line goes to `out`.
  LogStore(std::string dir, ld::Clock* clock, FILE* out = stdout, FILE* err = stderr);
  ~LogStore();
  LogStore(const LogStore&) = delete;
  LogStore& operator=(const LogStore&) = delete;

  // Adds one record for the tag (which must be valid), stamped with the clock's local time and
  // bound for that day's file. False when the file cannot be opened: the line is dropped.
  bool append(std::string_view tag, std::string_view message);
  // Writes every gathered record to its file.
  void flush();

 private:
  struct File {
    std::string path;  // the day file this descriptor belongs to
    int day = -1;      // and its local date (year * 400 + day of the year)
    ld::UniqueFd fd;
    dev_t dev = 0;
    ino_t ino = 0;
    int64_t size = 0;       // bytes in the file that count towards rotation, not counting `pending`
    int64_t grace = 0;      // bytes not counted: a file that could not be moved aside keeps growing
    std::string pending;    // records not yet written
    bool checked = false;   // path looked up since the last flush
    int rotated_minute = -1;  // the minute of the last rotation, and the next counter to try
    int next_rotation = 1;
  };

  // The file for the tag's record at time t, opened for appending, rotated first when needed.
  File* open_file(std::string_view tag, const std::tm& t);
  // The open day file of the tag, (re)opened when the day or the file behind the name changed.
  File* find_day_file(std::string_view tag, const std::tm& t, int day);
  bool open_path(File* f, std::string* err);
  // Takes the size from the file itself (someone else may have emptied or grown it), once per
  // batch: within a batch only this store adds to it, and it counts what it adds.
  void refresh_size(File* f);
  void rotate(File* f, std::string_view tag, const std::tm& t);
  void write_pending(File* f);

  std::string dir_;
  ld::Clock* clock_;
  FILE* out_;
  FILE* err_;
  std::map<std::string, File, std::less<>> files_;
  time_t stamp_time_ = -1;  // the second `tm_` and `stamp_` were made for
  std::tm tm_{};
  std::string stamp_;
};

}  // namespace eventlog
