#include "common/json_escape.h"

#include <gtest/gtest.h>

namespace ld {
namespace {

TEST(JsonEscape, Table) {
  struct Case {
    std::string in;
    std::string expected;
  } cases[] = {
      {"plain name.prn", "plain name.prn"},
      {"a \"q\" \\ b/c", "a \\\"q\\\" \\\\ b/c"},
      {"<b>&'x'", "<b>&'x'"},
      {"t\tn\nr\r\x01\x1f\x7f", "t\\tn\\nr\\r\\u0001\\u001f\\u007f"},
      {std::string("a\0b", 3), "a\\u0000b"},
      {"K\xc3\xa4se", "K\\u00e4se"},                        // UTF-8
      {"\xe2\x82\xac", "\\u20ac"},
      {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"},               // beyond the BMP
      {"K\xe4se", "K\\u00e4se"},                            // not UTF-8: taken as Latin-1
      {"\xc3", "\\u00c3"},                                  // cut sequence
      {"\xe2\x82", "\\u00e2\\u0082"},
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},            // encoded surrogate
      {"\xc0\xaf", "\\u00c0\\u00af"},                       // overlong
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"}, // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.expected) << c.in;
}

}  // namespace
}  // namespace ld
