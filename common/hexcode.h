// Hexadecimal digits and percent coding (%XX) for every place that reads or writes them: query
// values, stored settings, job names in page links, chunk sizes, MAC addresses. Each caller
// keeps its own rule of which sequences count; the rule is a parameter, the loop is this one.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace ld {

// The value of a hexadecimal digit (either case), or -1 for any other byte.
int hex_digit(char c);

// The byte two hexadecimal digits stand for, -1 when either is no digit.
int hex_pair(char high, char low);

// Two hexadecimal digits for each byte of `bytes`, in upper or lower case.
std::string hex_text(std::string_view bytes, bool upper = true);

// Which %XX sequences a decode turns into their byte; any other stays as its three characters.
struct PercentRule {
  bool plus_is_space = true;    // "+" stands for a blank (query values)
  bool upper_only = false;      // only upper-case digits: "%2b" stays as it is
  bool decodes_nul = true;      // "%00" becomes a NUL byte (false: it stays as text)
  std::string_view only = {};   // when not empty: only these bytes are decoded
  size_t max = std::string::npos;  // the result is cut at this many bytes
};

std::string percent_decode(std::string_view raw, const PercentRule& rule = {});

// `text` with each byte for which `coded` is true written as "%XX" (upper-case digits).
std::string percent_encode(std::string_view text, bool (*coded)(unsigned char));

}  // namespace ld
