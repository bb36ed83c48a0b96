#include "eventlog/logline.h"

#include <cstring>

namespace eventlog {
namespace {

// Where the first line ends (a line feed or a carriage return), or data.size().
size_t line_end(std::string_view data) {
  const void* lf = std::memchr(data.data(), '\n', data.size());
  size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - data.data()) : data.size();
  const void* cr = std::memchr(data.data(), '\r', end);
  return cr ? static_cast<size_t>(static_cast<const char*>(cr) - data.data()) : end;
}

bool is_control(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }

}  // namespace

void LineSplitter::feed(std::string_view data, const Sink& sink) {
  while (!data.empty()) {
    size_t end = line_end(data);
    if (end == data.size()) {
      take(data, false, sink);
      return;
    }
    take(data.substr(0, end), true, sink);
    data.remove_prefix(end + 1);
  }
}

void LineSplitter::take(std::string_view piece, bool ended, const Sink& sink) {
  if (cutting_) {
    if (ended) cutting_ = false;
    return;
  }
  if (partial_.empty() && ended) {  // the common case: a whole line inside one read
    if (piece.size() > max_) sink(piece.substr(0, max_), true);
    else if (!piece.empty()) sink(piece, false);
    return;
  }
  size_t room = max_ - partial_.size();
  if (piece.size() > room) {
    partial_.append(piece.substr(0, room));
    sink(partial_, true);
    partial_.clear();
    cutting_ = !ended;
    return;
  }
  partial_.append(piece);
  if (ended) {
    if (!partial_.empty()) sink(partial_, false);
    partial_.clear();
  }
}

void LineSplitter::finish(const Sink& sink) {
  if (!cutting_ && !partial_.empty()) sink(partial_, false);
  partial_.clear();
  cutting_ = false;
}

ParsedLine parse_line(std::string_view line) {
  size_t comma = line.find(',');
  if (comma == std::string_view::npos) return {ParsedLine::kNoTag, {}, line};
  std::string_view tag = line.substr(0, comma);
  std::string_view message = line.substr(comma + 1);
  return {valid_tag(tag) ? ParsedLine::kRecord : ParsedLine::kBadTag, tag, message};
}

bool valid_tag(std::string_view tag) {
  if (tag.empty() || tag.size() > kMaxTag || tag[0] == '.') return false;
  for (char c : tag) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (is_control(static_cast<unsigned char>(c))) c = '?';
  return out;
}

std::tm local_time(time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

namespace {

std::string format_time(const char* fmt, const std::tm& t) {
  char buf[64];
  size_t n = std::strftime(buf, sizeof buf, fmt, &t);
  return std::string(buf, n);
}

}  // namespace

std::string day_file_name(const std::string& dir, std::string_view tag, const std::tm& t) {
  return dir + "/" + std::string(tag) + "_" + format_time("%F.log", t);
}

std::string rotated_file_name(const std::string& dir, std::string_view tag, const std::tm& t, int n) {
  std::string name = dir + "/" + std::string(tag) + "_" + format_time("%F-%H%M", t);
  if (n > 1) name += "_" + std::to_string(n);
  return name + ".log";
}

std::string time_stamp(const std::tm& t) { return format_time("%H:%M:%S,", t); }

void append_record(std::string_view stamp, std::string_view message, std::string* out) {
  out->append(stamp);
  size_t start = out->size();
  out->append(message);
  // A branch-free pass first: control bytes are rare, and this loop the compiler vectorises.
  unsigned char any = 0;
  for (unsigned char c : message) any |= static_cast<unsigned char>((c < 0x20) | (c == 0x7f));
  if (any != 0) {
    char* p = out->data() + start;
    for (size_t i = 0; i < message.size(); ++i)
      if (is_control(static_cast<unsigned char>(p[i]))) p[i] = '?';
  }
  out->append("\r\n");
}

}  // namespace eventlog
