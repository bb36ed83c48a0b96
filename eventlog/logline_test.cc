#include "eventlog/logline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace eventlog {
namespace {

// Lines as "text" or "text|cut", from feeding `chunks` and ending the input.
std::vector<std::string> split(const std::vector<std::string>& chunks, size_t max = kMaxLine) {
  std::vector<std::string> lines;
  LineSplitter s(max);
  auto sink = [&](std::string_view line, bool cut) { lines.push_back(std::string(line) + (cut ? "|cut" : "")); };
  for (const std::string& c : chunks) s.feed(c, sink);
  s.finish(sink);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineSplitter, EveryLineCounts) {
  struct Case {
    std::vector<std::string> chunks;
    Lines expected;
  } cases[] = {
      {{"sys,printer started\n"}, {"sys,printer started"}},
      {{"a,1\nb,2\nc,3\n"}, {"a,1", "b,2", "c,3"}},         // several lines in one read
      {{"a,fir", "st half", " and more\n"}, {"a,first half and more"}},  // one line over reads
      {{"a,1\nb,no line feed"}, {"a,1", "b,no line feed"}},  // last line kept whole
      {{"a,1\r\nb,2\r\n"}, {"a,1", "b,2"}},                 // CR LF is one end
      {{"a,1\r", "\nb,2\r"}, {"a,1", "b,2"}},
      {{"\n\n\r\n"}, {}},
      {{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.chunks), c.expected) << c.chunks.size();
}

TEST(LineSplitter, SameLinesWhereverTheReadsBreak) {
  const std::string input = "ui,one\nsys,two\r\nx,three";
  const Lines expected = {"ui,one", "sys,two", "x,three"};
  for (size_t i = 0; i <= input.size(); ++i)
    for (size_t j = i; j <= input.size(); ++j)
      EXPECT_EQ(split({input.substr(0, i), input.substr(i, j - i), input.substr(j)}), expected) << i << "," << j;
}

TEST(LineSplitter, BoundsOverlongLines) {
  struct Case {
    std::vector<std::string> chunks;
    Lines expected;
  } cases[] = {
      {{"abcd\n"}, {"abcd"}},                           // exactly the bound
      {{"abcdef\nxy\n"}, {"abcd|cut", "xy"}},           // over it in one read
      {{"ab", "cd", "ef", "gh\nxy\n"}, {"abcd|cut", "xy"}},  // over it across reads
      {{"abcd", "\nxy"}, {"abcd", "xy"}},               // bound reached, then the end
      {{"abcde"}, {"abcd|cut"}},                        // overlong without an end
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.chunks, 4), c.expected) << c.chunks[0];
  LineSplitter s(4);
  s.feed("abcdefghijkl", [](std::string_view, bool) {});
  EXPECT_EQ(s.pending(), 0u);  // nothing of an overlong line is held back
}

TEST(ParseLine, SplitsAtTheFirstComma) {
  struct Case {
    std::string line;
    ParsedLine::Kind kind;
    std::string tag, message;
  } cases[] = {
      {"sys,printer started", ParsedLine::kRecord, "sys", "printer started"},
      {"ui,a,b,c", ParsedLine::kRecord, "ui", "a,b,c"},
      {"ui,", ParsedLine::kRecord, "ui", ""},
      {"no comma here", ParsedLine::kNoTag, "", ""},
      {",empty tag", ParsedLine::kBadTag, "", "empty tag"},
      {"../../etc/passwd,x", ParsedLine::kBadTag, "../../etc/passwd", "x"},
  };
  for (const auto& c : cases) {
    ParsedLine p = parse_line(c.line);
    EXPECT_EQ(p.kind, c.kind) << c.line;
    if (c.kind != ParsedLine::kNoTag) {
      EXPECT_EQ(p.tag, c.tag) << c.line;
      EXPECT_EQ(p.message, c.message) << c.line;
    }
  }
}

TEST(ValidTag, OnlyPlainNames) {
  for (std::string ok : std::vector<std::string>{"ui", "sys", "a-b_c.d", "X9", "v1.2", std::string(kMaxTag, 'a')})
    EXPECT_TRUE(valid_tag(ok)) << ok;
  for (std::string bad : std::vector<std::string>{"", ".", "..", ".hidden", "a/b", "/abs", "a b", "tab\t", "ü", "a\\b",
                          std::string("nul\0x", 5), std::string(kMaxTag + 1, 'a')})
    EXPECT_FALSE(valid_tag(bad)) << bad;
}

TEST(FileNames, DayAndRotatedNames) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 14;
  t.tm_min = 5;
  t.tm_sec = 9;
  EXPECT_EQ(day_file_name("/print/log", "sys", t), "/print/log/sys_2026-12-07.log");
  EXPECT_EQ(rotated_file_name("/print/log", "sys", t), "/print/log/sys_2026-12-07-1405.log");
  EXPECT_EQ(rotated_file_name("/print/log", "sys", t, 3), "/print/log/sys_2026-12-07-1405_3.log");
  EXPECT_EQ(time_stamp(t), "14:05:09,");
  std::string rec;
  append_record(time_stamp(t), "printer started", &rec);
  append_record("00:00:00,", std::string("bin\0\x1b[2J\x7f\xc3\xbc\tend", 15), &rec);
  EXPECT_EQ(rec, "14:05:09,printer started\r\n00:00:00,bin??[2J?\xc3\xbc\tend\r\n");
}

TEST(Rotation, OnlyAboveTheThreshold) {
  EXPECT_FALSE(needs_rotation(0));
  EXPECT_FALSE(needs_rotation(100000));
  EXPECT_TRUE(needs_rotation(100001));
}

}  // namespace
}  // namespace eventlog
