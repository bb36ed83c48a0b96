#include "library/prnrecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace {

using library::kPrnInfoSize;
using library::kPrnOptionSize;

library::PrnOption sample_option(int n) {
  library::PrnOption o;
  o.name = "Cut " + std::to_string(n);
  o.field_id = "cut" + std::to_string(n);
  o.css_class = "readonly";
  o.size = 4;
  o.id = 0x8600 + n;
  o.min = -2;
  o.max = 250;
  o.decimals = 2;
  o.attr = 0xC9;
  o.value = 150;
  o.found = 1;
  o.scaled = 1.5;
  o.display = "1.50";
  o.write_value = 175;
  o.type = 5;
  o.choices = {"a", "b", "c"};
  return o;
}

library::PrnInfo sample_info() {
  library::PrnInfo i;
  i.file_name = "alpha.prn";
  i.base = "alpha";
  i.job_path = "/print/prns/alpha.prn";
  i.filter_input = "/print/prns/alpha.prn";
  i.thumb_path = "thumbs/alpha.jpeg";
  i.display_name = "alpha";
  i.filter_output = "/print/printq/alpha_0.spl";
  i.driver_text = "Vivid";
  i.file_size = 12345;
  i.pages = 3;
  i.copies = 2;
  i.collate = 1;
  i.first_page = 1;
  i.last_page = 3;
  i.width = 3200;
  i.length = -4000;
  i.quality = -3;
  i.value_8514 = 2;
  i.value_8513 = 0x00FF01FE;
  i.value_8512 = -0x01020304;
  i.value_8403 = 7;
  i.width_in = 4.0f;
  i.length_in = 5.0f;
  i.width_mm = 101.6f;
  i.length_mm = 127.0f;
  i.mtime = 1700000000;
  i.options = {sample_option(1), sample_option(2)};
  return i;
}

int32_t le(const std::vector<unsigned char>& b, size_t at) {
  return static_cast<int32_t>(ld::get_le32(b.data() + at));
}
std::string text(const std::vector<unsigned char>& b, size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at));
}

TEST(PrnRecord, EveryFieldSitsAtItsOffset) {
  std::vector<unsigned char> b(kPrnInfoSize, 0xAA);
  library::encode_prn_info(sample_info(), b.data());
  const std::pair<size_t, const char*> texts[] = {
      {0, "alpha.prn"}, {200, "alpha"}, {400, "/print/prns/alpha.prn"},
      {600, "/print/prns/alpha.prn"}, {800, "thumbs/alpha.jpeg"}, {1000, "alpha"},
      {1200, "/print/printq/alpha_0.spl"}, {1400, "Vivid"}};
  for (auto [at, want] : texts) EXPECT_EQ(text(b, at), want) << at;
  const std::pair<size_t, int32_t> ints[] = {
      {1600, 12345}, {1604, 3}, {1608, 2}, {1612, 1}, {1616, 1}, {1620, 3}, {1624, 3200},
      {1628, -4000}, {1632, -3}, {1636, 2}, {1640, 0x00FF01FE}, {1644, -0x01020304},
      {1648, 7}, {1668, 0}, {1736, 1700000000}, {11680, 2}, {11684, 0}, {11688, 0},
      {11692, 0}};
  for (auto [at, want] : ints) EXPECT_EQ(le(b, at), want) << at;
  EXPECT_EQ(ld::get_le32(b.data() + 1652), 0x40800000u);  // 4.0f
  EXPECT_EQ(ld::get_le32(b.data() + 1656), 0x40A00000u);  // 5.0f
  // Only the modification time of the status block is kept.
  for (size_t at = 1672; at < 1760; ++at) {
    if (at < 1736 || at >= 1740) {
      EXPECT_EQ(b[at], 0) << at;
    }
  }
  // Unused option entries are zero.
  for (size_t at = 1760 + 2 * kPrnOptionSize; at < 11680; ++at) ASSERT_EQ(b[at], 0) << at;
}

TEST(PrnRecord, OptionFieldsSitAtTheirOffsets) {
  std::vector<unsigned char> b(kPrnOptionSize, 0xAA);
  library::encode_prn_option(sample_option(1), b.data());
  EXPECT_EQ(text(b, 0), "Cut 1");
  EXPECT_EQ(text(b, 100), "cut1");
  EXPECT_EQ(text(b, 120), "readonly");
  EXPECT_EQ(text(b, 192), "1.50");
  const std::pair<size_t, int32_t> ints[] = {
      {152, 4}, {156, 0x8601}, {160, -2}, {164, 250}, {168, 2}, {172, 0xC9}, {176, 150},
      {180, 1}, {224, 175}, {228, 0}, {232, 0}, {236, 3}, {240, 5}, {244, 0}};
  for (auto [at, want] : ints) EXPECT_EQ(le(b, at), want) << at;
  // 1.5 as a little-endian IEEE double.
  const unsigned char scaled[8] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
  EXPECT_EQ(std::memcmp(b.data() + 184, scaled, 8), 0);
}

TEST(PrnRecord, DecodeGivesBackWhatWasEncoded) {
  std::vector<unsigned char> b(kPrnInfoSize);
  library::PrnInfo in = sample_info();
  library::encode_prn_info(in, b.data());
  library::PrnInfo out = library::decode_prn_info(b.data());
  EXPECT_EQ(out.file_name, in.file_name);
  EXPECT_EQ(out.driver_text, in.driver_text);
  EXPECT_EQ(out.filter_output, in.filter_output);
  EXPECT_EQ(out.value_8512, in.value_8512);
  EXPECT_EQ(out.mtime, in.mtime);
  EXPECT_FLOAT_EQ(out.width_mm, in.width_mm);
  ASSERT_EQ(out.options.size(), 2u);
  EXPECT_EQ(out.options[1].field_id, "cut2");
  EXPECT_EQ(out.options[1].id, 0x8602);
  EXPECT_DOUBLE_EQ(out.options[1].scaled, 1.5);
  EXPECT_EQ(out.options[1].type, 5);
  EXPECT_EQ(out.options[1].display, "1.50");

  // The in-place view reads the list's fields as the whole decode does.
  library::PrnInfoView v = library::view_prn_info(b.data());
  EXPECT_EQ(v.file_name, out.file_name);
  EXPECT_EQ(v.job_path, out.job_path);
  EXPECT_EQ(v.filter_input, out.filter_input);
  EXPECT_EQ(v.thumb_path, out.thumb_path);
  EXPECT_EQ(v.display_name, out.display_name);
  EXPECT_EQ(v.file_size, out.file_size);
  EXPECT_EQ(v.pages, out.pages);
  EXPECT_EQ(v.copies, out.copies);
  EXPECT_EQ(v.mtime, out.mtime);
}

TEST(PrnRecord, TextsLongerThanTheirFieldsAreCutNeverWrittenPast) {
  library::PrnInfo in = sample_info();
  in.file_name = std::string(300, 'n');
  in.options[0].name = std::string(150, 'x');
  in.options[0].field_id = std::string(40, 'i');
  in.options[0].display = std::string(40, '9');
  EXPECT_FALSE(library::record_fits(in));
  std::vector<unsigned char> b(kPrnInfoSize);
  library::encode_prn_info(in, b.data());
  library::PrnInfo out = library::decode_prn_info(b.data());
  EXPECT_EQ(out.file_name, std::string(199, 'n'));
  EXPECT_EQ(out.base, "alpha");
  EXPECT_EQ(out.options[0].name, std::string(99, 'x'));
  EXPECT_EQ(out.options[0].field_id, std::string(19, 'i'));
  EXPECT_EQ(out.options[0].css_class, "readonly");
  EXPECT_EQ(out.options[0].display, std::string(31, '9'));
}

TEST(PrnRecord, OptionCountIsHeldWithinTheRecord) {
  library::PrnInfo in = sample_info();
  in.options.assign(45, sample_option(3));
  std::vector<unsigned char> b(kPrnInfoSize);
  library::encode_prn_info(in, b.data());
  EXPECT_EQ(le(b, 11680), 40);
  for (int32_t bad : {-1, 41, 0x7FFFFFFF}) {
    ld::put_le32(static_cast<uint32_t>(bad), b.data() + 11680);
    EXPECT_LE(library::decode_prn_info(b.data()).options.size(), 40u) << bad;
  }
}

}  // namespace
