// What the event log server decides about its input, as plain functions over plain data: where
// a byte stream breaks into lines, whether a line carries a usable tag, what a log record looks
// like and which file it goes to. No sockets and no files here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace eventlog {

// Longest line kept; the rest of a longer line is dropped up to its end.
constexpr size_t kMaxLine = 65534;
// A day file above this size is moved aside before the next record is written to it.
constexpr int64_t kRotateSize = 100000;
// Longest tag: it becomes part of a file name, with "_", the date and time, a counter and ".log".
constexpr size_t kMaxTag = 64;

// Breaks a byte stream into lines ended by a line feed or a carriage return. A line may arrive
// in pieces over several reads; empty lines (such as the second half of CR LF) are skipped.
class LineSplitter {
 public:
  // Called once per line; `cut` tells that the line was longer than the bound and lost its end.
  using Sink = std::function<void(std::string_view line, bool cut)>;

  explicit LineSplitter(size_t max_line = kMaxLine) : max_(max_line) {}
  void feed(std::string_view data, const Sink& sink);
  // End of input: an unterminated last line is delivered whole.
  void finish(const Sink& sink);
  // Bytes held back for a line not yet ended.
  size_t pending() const { return partial_.size(); }

 private:
  void take(std::string_view piece, bool ended, const Sink& sink);

  size_t max_;
  std::string partial_;
  bool cutting_ = false;  // inside an overlong line whose start was already delivered
};

// One input line taken apart at its first comma.
struct ParsedLine {
  enum Kind { kRecord, kNoTag, kBadTag } kind;
  std::string_view tag;
  std::string_view message;
};
ParsedLine parse_line(std::string_view line);

// A tag names a file: letters, digits, "-", "_" and ".", not starting with ".", at most kMaxTag.
bool valid_tag(std::string_view tag);

// Control bytes (other than tab) shown as "?", so a record stays one line of text.
std::string printable(std::string_view text);

// The local time of t.
std::tm local_time(time_t t);

// "<dir>/<tag>_YYYY-MM-DD.log"
std::string day_file_name(const std::string& dir, std::string_view tag, const std::tm& t);
// "<dir>/<tag>_YYYY-MM-DD-HHMM.log"; from the second rotation in the same minute on,
// "<dir>/<tag>_YYYY-MM-DD-HHMM_<n>.log", so no earlier rotated file is overwritten.
std::string rotated_file_name(const std::string& dir, std::string_view tag, const std::tm& t,
                              int n = 1);
inline bool needs_rotation(int64_t size) { return size > kRotateSize; }

// The time stamp that opens a record: "HH:MM:SS,".
std::string time_stamp(const std::tm& t);
// Appends the record "<stamp><message>\r\n" to *out, the message made printable.
void append_record(std::string_view stamp, std::string_view message, std::string* out);

}  // namespace eventlog
