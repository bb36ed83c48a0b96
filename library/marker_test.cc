#include "library/marker.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testkit/scenario.h"

namespace {

TEST(Marker, SegmentBytes) {
  auto s = library::marker_segment(1, 4, 7);
  std::vector<uint8_t> want = {0xFF, 0xE9, 0x00, 0x28};
  const std::string text = "TAVU page 1 of 4";
  want.insert(want.end(), text.begin(), text.end());
  want.resize(4 + 30, 0);
  want.insert(want.end(), {4, 0, 1, 0, 7, 0, 0, 0});
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.end()), want);
}

TEST(Marker, PayloadsAsFound) {
  auto full = library::encode_marker_payload(999, 1000, 0x1234);
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
    library::tavu_data d = library::decode_marker_payload(bytes.data(), c.len);
    EXPECT_EQ(d.text, c.text) << c.len;
    EXPECT_EQ(d.pages, c.pages) << c.len;
    EXPECT_EQ(d.page, c.page) << c.len;
    EXPECT_EQ(d.value, c.value) << c.len;
    EXPECT_EQ(d.present, 1) << c.len;
  }
  // A text that fills its whole field is cut there, not read into the numbers.
  std::vector<uint8_t> no_nul(38, 'A');
  EXPECT_EQ(library::decode_marker_payload(no_nul.data(), no_nul.size()).text, std::string(30, 'A'));
}

// The start of a JPEG as the thumbnail maker writes it: start of image, the JFIF segment, then
// (when given) the marker segment, then a table segment and the end of image.
std::string jpeg(const std::string& app9) {
  std::string j = "\xFF\xD8";
  j += std::string("\xFF\xE0\x00\x10JFIF\0\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18);
  j += app9;
  j += std::string("\xFF\xDB\x00\x05\x00\x01\x02\xFF\xFF\xD9", 10);
  return j;
}

std::string app9(size_t payload_len, const std::vector<uint8_t>& payload) {
  std::string s = "\xFF\xE9";
  s += char((payload_len + 2) >> 8);
  s += char((payload_len + 2) & 0xFF);
  s.append(payload.begin(), payload.end());
  s.resize(4 + payload_len, '\x55');
  return s;
}

struct Walk {
  std::optional<library::tavu_data> d;
  int error = 99;
};

Walk walk(const testkit::TempRoot& root, const std::string& bytes) {
  testkit::spit(root.path() + "/t.jpeg", bytes);
  Walk w;
  w.d = library::jpeg_get_data(root.path() + "/t.jpeg", &w.error);
  return w;
}

TEST(MarkerWalk, FindsTheMarkerAfterTheJfifSegment) {
  testkit::TempRoot root;
  auto seg = library::marker_segment(0, 3, 2);
  const std::string good = jpeg(std::string(seg.begin(), seg.end()));
  Walk w = walk(root, good);
  ASSERT_TRUE(w.d);
  EXPECT_EQ(w.error, library::kJpegOk);
  EXPECT_EQ(w.d->text, "TAVU page 0 of 3");
  EXPECT_EQ(w.d->pages, 3);
  EXPECT_EQ(w.d->value, 2);
  // Fill bytes before a marker code are passed over.
  std::string filled = good;
  filled.insert(20, "\xFF\xFF");
  EXPECT_TRUE(walk(root, filled).d);
}

TEST(MarkerWalk, EveryTruncationBeforeTheMarkerEndsIsInvalid) {
  testkit::TempRoot root;
  auto seg = library::marker_segment(0, 1, 1);
  const std::string good = jpeg(std::string(seg.begin(), seg.end()));
  const size_t marker_end = 2 + 18 + seg.size();
  for (size_t n = 0; n < marker_end; ++n) {
    Walk w = walk(root, good.substr(0, n));
    EXPECT_FALSE(w.d) << n;
    EXPECT_EQ(w.error, library::kJpegInvalid) << n;
  }
  EXPECT_TRUE(walk(root, good.substr(0, marker_end)).d);
}

TEST(MarkerWalk, SegmentLengthsAtTheEdges) {
  testkit::TempRoot root;
  Walk empty = walk(root, jpeg(app9(0, {})));  // length 2: present, nothing in it
  ASSERT_TRUE(empty.d);
  EXPECT_EQ(empty.d->present, 1);
  EXPECT_EQ(empty.d->text, "");
  auto p = library::encode_marker_payload(4, 5, 6);
  Walk longer = walk(root, jpeg(app9(300, std::vector<uint8_t>(p.begin(), p.end()))));
  ASSERT_TRUE(longer.d);  // only the first 38 bytes are kept
  EXPECT_EQ(longer.d->text, "TAVU page 4 of 5");
  EXPECT_EQ(longer.d->value, 6);
  EXPECT_EQ(walk(root, jpeg(std::string("\xFF\xE9\x00\x01", 4))).error, library::kJpegInvalid);
  EXPECT_EQ(walk(root, jpeg(std::string("\xFF\xE1\x00\x00", 4))).error, library::kJpegInvalid);
}

TEST(MarkerWalk, FilesThatAreNoMarkedJpeg) {
  testkit::TempRoot root;
  EXPECT_EQ(walk(root, jpeg("")).error, library::kJpegInvalid);  // no APP9
  EXPECT_EQ(walk(root, "\x89PNG\r\n").error, library::kJpegInvalid);
  Walk w;
  EXPECT_FALSE(library::jpeg_get_data(root.path() + "/none.jpeg", &w.error));
  EXPECT_EQ(w.error, library::kJpegMissing);
  EXPECT_FALSE(library::jpeg_get_data(root.path(), &w.error));  // a folder
  EXPECT_EQ(w.error, library::kJpegInvalid);
}

}  // namespace
