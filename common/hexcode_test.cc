#include "common/hexcode.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(HexCode, DigitsOfEitherCaseAndNothingElse) {
  EXPECT_EQ(ld::hex_digit('0'), 0);
  EXPECT_EQ(ld::hex_digit('9'), 9);
  EXPECT_EQ(ld::hex_digit('a'), 10);
  EXPECT_EQ(ld::hex_digit('F'), 15);
  for (char c : std::string("gG/:@`\0 \xff", 9)) EXPECT_EQ(ld::hex_digit(c), -1) << int(c);
  EXPECT_EQ(ld::hex_pair('f', 'F'), 255);
  EXPECT_EQ(ld::hex_pair('4', 'x'), -1);
  EXPECT_EQ(ld::hex_text(std::string("\x00\x9f\xff", 3)), "009FFF");
  EXPECT_EQ(ld::hex_text("\xab", false), "ab");
}

struct DecodeCase {
  const char* what;
  std::string raw;
  ld::PercentRule rule;
  std::string out;
};

TEST(HexCode, EachRuleDecodesExactlyItsSequences) {
  const ld::PercentRule query;
  const ld::PercentRule no_nul{.decodes_nul = false};
  const ld::PercentRule names{.plus_is_space = false, .upper_only = true, .only = "\"#%&'+`"};
  const DecodeCase cases[] = {
      {"query: plus and both cases", "a+b%2b%2B%41", query, "a b++A"},
      {"query: cut or bad sequences stay", "%4%zz%", query, "%4%zz%"},
      {"query: sequence at the very end", "x%41", query, "xA"},
      {"query: NUL decoded", std::string("%00"), query, std::string(1, '\0')},
      {"settings: NUL stays as text", "a%00b%01", no_nul, "a%00b\x01"},
      {"names: upper case only", "x%2by%2Bz", names, "x%2by+z"},
      {"names: only the coded seven", "%41%22%25%60", names, "%41\"%`"},
      {"names: plus is a plus", "a+b", names, "a+b"},
      {"bound: cut at max bytes", "abcdef", ld::PercentRule{.max = 4}, "abcd"},
      {"bound: a sequence counts as one byte", "%41%42%43", ld::PercentRule{.max = 2}, "AB"},
  };
  for (const DecodeCase& c : cases) EXPECT_EQ(ld::percent_decode(c.raw, c.rule), c.out) << c.what;
}

TEST(HexCode, EncodeWritesUpperCaseAndDecodesBack) {
  auto coded = [](unsigned char c) { return c == '%' || c == '&' || c < 0x20 || c >= 0x80; };
  const std::string text = std::string("a&b%\n\xff\x01z", 8);
  const std::string enc = ld::percent_encode(text, coded);
  EXPECT_EQ(enc, "a%26b%25%0A%FF%01z");
  EXPECT_EQ(ld::percent_decode(enc), text);
}

}  // namespace
