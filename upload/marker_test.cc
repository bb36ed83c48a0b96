#include "upload/marker.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(Marker, SegmentBytes) {
  auto s = upload::marker_segment(1, 4, 7);
  std::vector<uint8_t> want = {0xFF, 0xE9, 0x00, 0x28};
  const std::string text = "TAVU page 1 of 4";
  want.insert(want.end(), text.begin(), text.end());
  want.resize(4 + 30, 0);
  want.insert(want.end(), {4, 0, 1, 0, 7, 0, 0, 0});
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.end()), want);
}

TEST(Marker, PayloadsAsFound) {
  auto full = upload::encode_marker_payload(999, 1000, 0x1234);
  struct Case {
    size_t len;
    std::string text;
    uint16_t pages, page, value;
  } cases[] = {
      {38, "TAVU page 999 of 1000", 1000, 999, 0x1234},
      {60, "TAVU page 999 of 1000", 1000, 999, 0x1234},  // longer payloads: the rest is not looked at
      {32, "TAVU page 999 of 1000", 1000, 0, 0},          // cut: missing numbers read as 0
      {5, "TAVU ", 0, 0, 0},
      {0, "", 0, 0, 0},                                    // a length-2 segment still counts
  };
  std::vector<uint8_t> bytes(full.begin(), full.end());
  bytes.resize(60, 0xAA);
  for (const auto& c : cases) {
    upload::tavu_data d = upload::decode_marker_payload(bytes.data(), c.len);
    EXPECT_EQ(d.text, c.text) << c.len;
    EXPECT_EQ(d.pages, c.pages) << c.len;
    EXPECT_EQ(d.page, c.page) << c.len;
    EXPECT_EQ(d.value, c.value) << c.len;
    EXPECT_EQ(d.present, 1) << c.len;
  }
  // A text that fills its whole field is cut there, not read into the numbers.
  std::vector<uint8_t> no_nul(38, 'A');
  EXPECT_EQ(upload::decode_marker_payload(no_nul.data(), no_nul.size()).text, std::string(30, 'A'));
}

}  // namespace
