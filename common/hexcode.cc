#include "common/hexcode.h"

namespace ld {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int hex_pair(char high, char low) {
  const int h = hex_digit(high), l = hex_digit(low);
  return h < 0 || l < 0 ? -1 : h * 16 + l;
}

std::string hex_text(std::string_view bytes, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

namespace {

bool upper_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The byte "%" at raw[i] starts under `rule`, or -1 when the sequence stays as text.
int coded_byte(std::string_view raw, size_t i, const PercentRule& rule) {
  if (i + 2 >= raw.size()) return -1;
  const char h = raw[i + 1], l = raw[i + 2];
  if (rule.upper_only && !(upper_digit(h) && upper_digit(l))) return -1;
  const int v = hex_pair(h, l);
  if (v < 0 || (v == 0 && !rule.decodes_nul)) return -1;
  if (!rule.only.empty() && rule.only.find(static_cast<char>(v)) == std::string_view::npos) return -1;
  return v;
}

}  // namespace

std::string percent_decode(std::string_view raw, const PercentRule& rule) {
  std::string out;
  for (size_t i = 0; i < raw.size() && out.size() < rule.max; ++i) {
    const char c = raw[i];
    if (c == '+' && rule.plus_is_space) {
      out.push_back(' ');
    } else if (int v = c == '%' ? coded_byte(raw, i, rule) : -1; v >= 0) {
      out.push_back(static_cast<char>(v));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string percent_encode(std::string_view text, bool (*coded)(unsigned char)) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (coded(c)) {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace ld
