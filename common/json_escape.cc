#include "common/json_escape.h"

#include <cstdio>

namespace ld {
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

}  // namespace ld
