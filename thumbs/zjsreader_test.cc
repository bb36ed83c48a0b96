#include "thumbs/zjsreader.h"

#include <gtest/gtest.h>

#include "common/bytes.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

TEST(ZjsReader, ResultTextsAndLanguages) {
  const char* texts[] = {"No error", "End of job", "Bad ZJS signature", "Bad header signature",
                         "Bad data size", "Out of memory", "Read error", "Aborted"};
  for (int i = 0; i < 8; ++i) EXPECT_STREQ(zjs_error_text(-i), texts[i]);
  EXPECT_STREQ(zjs_error_text(-8), "Unidentified");
  EXPECT_STREQ(zjs_error_text(1), "Unidentified");
  EXPECT_STREQ(language_name(0), "Unidentified");
  EXPECT_STREQ(language_name(3), "ZJS");
}

struct SniffCase {
  std::string head;
  int pjl;          // sniff_pjl result
  int zjs_after;    // sniff_zjs after it (with the tail skipped when no ENTER LANGUAGE)
};

TEST(ZjsReader, Sniffers) {
  const std::string uel = "\x1b%-12345X";
  const SniffCase cases[] = {
      {"JZJZ....", -1, 1},
      {"ZJZJ....", -1, 2},
      {"%!PS-Adobe", -1, 0},
      {uel + "@PJL JOB\n@PJL enter language = zjs\nJZJZ", kLangZjs, 1},
      {uel + "@PJL ENTER LANGUAGE=ZJS\r\nZJZJ", kLangZjs, 2},
      {uel + "@PJL ENTER LANGUAGE=PCL\n\x1b" "E", kLangUnidentified, 0},
      // Lines end without ENTER LANGUAGE; a NUL and a second universal exit lead to the stream.
      {uel + "@PJL JOB\n@PJL SET JOBATTR=\"x\"" + std::string(1, '\0') + uel + "JZJZ", kLangUnidentified, 1},
      {uel + "@PJLX\nJZJZ", kLangUnidentified, 0},
      {uel + "@PJL " + std::string(1100, 'A') + "\nJZJZ", kLangUnidentified, 0},
  };
  testkit::TempRoot root;
  for (const auto& c : cases) {
    zjs::Reader r;
    ASSERT_TRUE(r.open_regular(testkit::write_temp(root, "s", c.head), nullptr));
    bool no_enter = false;
    EXPECT_EQ(sniff_pjl(r, &no_enter), c.pjl) << c.head;
    if (c.pjl == kLangUnidentified && no_enter) skip_pjl_tail(r);
    if (c.pjl == kLangUnidentified && !no_enter) continue;
    EXPECT_EQ(sniff_zjs(r), c.zjs_after) << c.head;
  }
}

TEST(ZjsReader, StepBackIsReadAgain) {
  testkit::TempRoot root;
  zjs::Reader r;
  ASSERT_TRUE(r.open_regular(testkit::write_temp(root, "p", "abcdef"), nullptr));
  char b[8] = {};
  EXPECT_EQ(r.read(b, 4), 4);
  EXPECT_TRUE(r.rewind(2));
  EXPECT_EQ(r.offset(), 2u);
  EXPECT_EQ(r.read(b, 8), 4);
  EXPECT_EQ(std::string(b, 4), "cdef");
  EXPECT_FALSE(r.rewind(9000));
}

std::string header(uint32_t size, uint32_t type, uint32_t items, uint16_t sig = 0x5A5A) {
  unsigned char h[16];
  write32(size, h);
  write32(type, h + 4);
  write32(items, h + 8);
  h[12] = h[13] = 0;
  ld::put_be16(sig, h + 14);
  return std::string(reinterpret_cast<char*>(h), 16);
}
std::string item(uint32_t size, uint16_t id, uint32_t value) {
  unsigned char b[12];
  write32(size, b);
  ld::put_be16(id, b + 4);
  b[6] = 1;
  b[7] = 0;
  write32(value, b + 8);
  return std::string(reinterpret_cast<char*>(b), 12);
}

TEST(ZjsReader, ChunkResults) {
  struct Case {
    std::string bytes;
    int rc;
  };
  const Case cases[] = {
      {"", kZjsEnd},
      {header(16, zjs::END_DOC, 0), kZjsOk},
      {header(28, zjs::START_PAGE, 1) + item(12, 13, 640), kZjsOk},
      {header(16, zjs::END_DOC, 0, 0x5A5B), kZjsBadHeader},
      {header(12, zjs::END_DOC, 0), kZjsBadSize},
      {header(28, zjs::START_PAGE, 2) + item(12, 13, 640) + item(12, 14, 480), kZjsBadSize},  // items pass the size
      {header(28, zjs::START_PAGE, 1) + item(4, 13, 640), kZjsBadSize},                      // item size below 8
      {header(20, zjs::ZX_DATA, 8) + "abcd", kZjsBadSize},                               // counted length > payload
      {header(40, zjs::ZX_DATA, 8) + "abcd", kZjsReadError},                             // file ends inside
      {header(28, zjs::START_PAGE, 1) + item(12, 13, 640).substr(0, 6), kZjsReadError},
      {header(16, zjs::END_DOC, 0).substr(0, 9), kZjsReadError},
  };
  testkit::TempRoot root;
  for (size_t i = 0; i < std::size(cases); ++i) {
    zjs::Reader r;
    ASSERT_TRUE(r.open_regular(testkit::write_temp(root, "c", cases[i].bytes), nullptr));
    Chunk c;
    EXPECT_EQ(read_chunk(r, false, &c), cases[i].rc) << "case " << i;
  }
  // A long item keeps its first four value bytes; the counted ZX_DATA length and position.
  zjs::Reader r;
  std::string long_item = item(16, 46, 0x04030201) + "xyzw";
  ASSERT_TRUE(r.open_regular(testkit::write_temp(root, "c", header(32, zjs::ZX_START, 1) + long_item + header(24, zjs::ZX_DATA, 5) + "12345pad"), nullptr));
  Chunk c;
  ASSERT_EQ(read_chunk(r, false, &c), kZjsOk);
  ASSERT_EQ(c.attrs.size(), 1u);
  EXPECT_EQ(c.attrs[0].id, 46);
  EXPECT_EQ(c.attrs[0].value, 0x04030201u);
  ASSERT_EQ(read_chunk(r, false, &c), kZjsOk);
  EXPECT_EQ(c.payload_offset, 48u);
  EXPECT_EQ(c.payload_len, 5u);
  EXPECT_EQ(read_chunk(r, false, &c), kZjsEnd);
}

}  // namespace
}  // namespace thumbs
