#include "webkit/html_utils.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/hexcode.h"

namespace webkit {
namespace {

// Where the value behind `pos` ends: the next "&" (or, when `newline_ends`, a newline) or the end.
size_t value_end(std::string_view text, size_t pos, bool newline_ends) {
  size_t end = text.find_first_of(newline_ends ? std::string_view("&\n") : std::string_view("&"), pos);
  return end == std::string_view::npos ? text.size() : end;
}

// Writes the pieces in order, as few at a time as the system's limit allows, resuming after a
// short write (a pipe to the web server takes only what it has room for when a signal comes).
bool write_pieces(int fd, std::vector<iovec>& v) {
  const size_t max = static_cast<size_t>(IOV_MAX);
  for (size_t at = 0; at < v.size();) {
    ssize_t n = ::writev(fd, &v[at], static_cast<int>(std::min(max, v.size() - at)));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t left = static_cast<size_t>(n);
    for (; at < v.size() && left >= v[at].iov_len; ++at) left -= v[at].iov_len;
    if (left > 0) {  // the piece at `at` went out in part
      v[at].iov_base = static_cast<char*>(v[at].iov_base) + left;
      v[at].iov_len -= left;
    }
  }
  return true;
}

}  // namespace

// The lines go out as they are stored, without being put together first: a list page of a
// thousand jobs is a few hundred kilobytes.
long Page::write_response(FILE* out, const char* content_type) const {
  const std::string top = "Content-length: " + std::to_string(get_body_length()) + "\r\n" +
                          content_type + "\r\n\r\n";
  std::vector<iovec> pieces;
  pieces.reserve(1 + head_.size() + body_.size());
  size_t total = 0;
  auto add = [&](const std::string& t) {
    if (t.empty()) return;
    pieces.push_back(iovec{const_cast<char*>(t.data()), t.size()});
    total += t.size();
  };
  add(top);
  for (const auto& l : head_) add(l);
  for (const auto& l : body_) add(l);
  if (std::fflush(out) != 0) return -1;
  const int fd = ::fileno(out);
  if (fd >= 0) {
    if (!write_pieces(fd, pieces)) return -1;
  } else {
    // A stream without a descriptor (one in memory) takes the pieces through its buffer.
    for (const iovec& p : pieces)
      if (std::fwrite(p.iov_base, 1, p.iov_len, out) != p.iov_len) return -1;
    if (std::fflush(out) != 0) return -1;
  }
  return static_cast<long>(total);
}

std::string get_string(std::string_view text) { return std::string(text); }

int Page::add_head_line(std::string_view text) {
  if (head_.empty()) head_.emplace_back("<HTML><HEAD>");
  head_.emplace_back(text);
  return 1;
}

int Page::add_body_line(std::string_view text) {
  body_.emplace_back(text);
  return 1;
}

int Page::take_body_line(std::string text) {
  body_.push_back(std::move(text));
  return 1;
}

int Page::add_body_line_top(std::string_view text) {
  body_.emplace(body_.empty() ? body_.end() : body_.begin() + 1, text);
  return 1;
}

int Page::add_body_line2(std::string_view a, std::string_view b) {
  add_body_line(a);
  return add_body_line(b);
}

int Page::add_body_line3(std::string_view a, std::string_view b, std::string_view c) {
  add_body_line(a);
  add_body_line(b);
  return add_body_line(c);
}

size_t Page::get_body_length() const {
  size_t n = 0;
  for (const auto& l : head_) n += l.size();
  for (const auto& l : body_) n += l.size();
  return n;
}

long Page::print_html(FILE* out) {
  add_head_line("</HEAD>\n");
  add_body_line("</HTML>\n");
  return write_response(out, "Content-Type:text/html;charset=utf-8");
}

long Page::print_json(FILE* out) const {
  return write_response(out, "Content-Type:application/json;charset=iso-8859-1");
}

void Page::output_from_file(const std::string& path) {
  ld::UniqueFile f(std::fopen(path.c_str(), "rb"));
  if (!f) return;
  std::string piece;
  int c;
  while ((c = std::getc(f.get())) != EOF) {
    piece.push_back(static_cast<char>(c));
    if (c == '\n' || piece.size() == kFileLineMax) {
      add_body_line(piece);
      piece.clear();
    }
  }
  if (!piece.empty()) add_body_line(piece);
}

std::string decode_value(std::string_view raw, size_t max_bytes) {
  ld::PercentRule rule;
  rule.decodes_nul = false;  // a NUL would cut the value short wherever it is used as a C string
  rule.max = max_bytes;
  return ld::percent_decode(raw, rule);
}

ParamList parse_url(std::string_view text) {
  ParamList pairs;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos) break;
    ParamPair p;
    p.name = std::string(text.substr(pos, std::min(eq - pos, kUrlNameMax)));
    size_t end = value_end(text, eq + 1, true);
    p.value = decode_value(text.substr(eq + 1, end - eq - 1), kUrlValueMax);
    pairs.push_back(std::move(p));
    pos = end < text.size() ? end + 1 : end;
  }
  std::reverse(pairs.begin(), pairs.end());  // newest first, like a list built by prepending
  return pairs;
}

namespace {

// Finds "name=" from `from` on where a parameter begins (the text's start or just after "&");
// returns the position of its value or npos. Matching inside another parameter would let a value
// such as a job called "x printq=1 delete=0" act as a key of its own, and "prn" would take the
// value of "saveprn"; pages that send both put "prn" first, so they read the same either way.
size_t find_value(std::string_view text, std::string_view name, size_t from) {
  if (name.empty() || name.size() + 1 > kSearchMax) return std::string_view::npos;
  std::string key = std::string(name) + "=";
  for (size_t at = text.find(key, from); at != std::string_view::npos; at = text.find(key, at + 1)) {
    if (at == 0 || text[at - 1] == '&') return at + key.size();
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::string> searchParam(const char* text, const char* name) {
  if (text == nullptr || name == nullptr) return std::nullopt;
  std::string_view t(text);
  size_t v = find_value(t, name, 0);
  if (v == std::string_view::npos) return std::nullopt;
  return decode_value(t.substr(v, value_end(t, v, false) - v), kParamValueMax);
}

std::optional<std::string> Page::getParam(const char* query, const char* name) const {
  if (auto v = searchParam(query, name)) return v;
  return persistence_text_ ? searchParam(persistence_text_->c_str(), name) : std::nullopt;
}

int Page::getIntParam(const char* query, const char* name) const {
  auto v = getParam(query, name);
  if (!v) return 0;
  long n = std::strtol(v->c_str(), nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

int getParamValues(const char* text, const char* name, std::vector<std::string>* slots, int max) {
  if (text == nullptr || name == nullptr || slots == nullptr) return 0;
  std::string_view t(text);
  int count = 0;
  size_t from = 0;
  while (count < max) {
    size_t v = find_value(t, name, from);
    if (v == std::string_view::npos) break;
    size_t end = value_end(t, v, false);
    slots->push_back(decode_value(t.substr(v, end - v), kParamValueMax));
    ++count;
    from = end;
  }
  return count;
}

std::string persistence_path(std::string_view program) { return "." + std::string(program) + ".data"; }

std::optional<std::string> Page::load_persistence_data(std::string_view program,
                                                       const char* default_text) {
  std::string path = persistence_path(program);
  persistence_text_.reset();
  persistence_.clear();
  persistence_read_.clear();
  ld::UniqueFile f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    std::fprintf(stderr, "unable to open file <%s>\n", path.c_str());
    return std::nullopt;
  }
  std::string text(kPersistenceMax, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), f.get()));
  if (text.empty()) {
    std::fprintf(stderr, "empty persistance data file. using default [%s]\n", default_text ? default_text : "");
    persistence_ = parse_url(default_text ? default_text : "");
    return std::nullopt;
  }
  persistence_ = parse_url(text);
  persistence_read_ = persistence_;
  persistence_text_ = std::move(text);
  return persistence_text_;
}

int Page::replace_persistent_data(const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return 0;
  ParamList& list = persistence_;
  for (auto& p : list) {
    if (p.name == key) {
      if (p.value != value) p.value = value;
      return 1;
    }
  }
  std::fprintf(stderr, "replace_persistent_data not found  <%s> -> <%s> \n", key, value);
  list.insert(list.begin(), ParamPair{key, value});
  std::fprintf(stderr, "replace_persistent_data  <%s> -> <%s> done \n", key, value);
  return 0;
}

namespace {
// A value as the file holds it: the bytes that would split or change it when it is read back
// ("&", "=", "%", "+", control bytes) as %XX, which the reading side decodes like any query
// value. Files written before carry plain values, which read as before.
std::string encode_persistent_value(std::string_view value) {
  return ld::percent_encode(value, [](unsigned char c) {
    return c == '&' || c == '=' || c == '%' || c == '+' || c < 0x20 || c == 0x7F;
  });
}
}  // namespace

int Page::save_persistence_data(std::string_view program) const {
  // Settings that did not change need no write (and no disk sync) on every page.
  auto same = [](const ParamPair& a, const ParamPair& b) {
    return a.name == b.name && a.value == b.value;
  };
  if (persistence_text_ && std::equal(persistence_.begin(), persistence_.end(),
                                      persistence_read_.begin(), persistence_read_.end(), same))
    return 1;
  std::string path = persistence_path(program);
  std::string text;
  for (const auto& p : persistence_) {
    if (!text.empty()) text += '&';
    text += p.name + "=" + encode_persistent_value(p.value);
  }
  if (!ld::write_file_atomic(path, text)) {
    std::fprintf(stderr, "ERROR save_persistence_data cannot open %s\n", path.c_str());
    return 0;
  }
  return 1;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when there is none.
size_t utf8_sequence(std::string_view s, size_t i, unsigned* cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned c = b(i), v;
  size_t len;
  unsigned min;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; min = 0x80; v = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; min = 0x800; v = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; min = 0x10000; v = c & 0x07; }
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

void append_u(std::string* out, unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", v & 0xFFFF);
  *out += buf;
}

}  // namespace

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    unsigned cp = c;  // a control character, DEL, or a byte outside valid UTF-8 (as Latin-1)
    if (size_t len = c >= 0x80 ? utf8_sequence(text, i, &cp) : 0) i += len - 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      append_u(&out, 0xD800 + (cp >> 10));
      append_u(&out, 0xDC00 + (cp & 0x3FF));
    } else {
      append_u(&out, cp);
    }
  }
  return out;
}

}  // namespace webkit
