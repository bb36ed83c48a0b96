#include "rfid/frame.h"

#include <gtest/gtest.h>

#include <string_view>

#include "rfid/RU5102.h"

namespace rfid {
namespace {

std::vector<uint8_t> with_crc(std::vector<uint8_t> bytes) {
  const uint16_t crc = uiCrc16Cal(bytes);
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(Crc, KnownAnswers) {
  const std::string_view digits = "123456789";
  EXPECT_EQ(uiCrc16Cal({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0x6F91);
  const uint8_t inventory[] = {0x04, 0x00, 0x01};
  EXPECT_EQ(uiCrc16Cal(inventory), 0x4BDB);
  EXPECT_EQ(uiCrc16Cal({}), 0xFFFF);
}

TEST(Frame, BuildsLenAdrCmdDataCrc) {
  std::vector<uint8_t> frame;
  const uint8_t data[] = {0xAA, 0x55};
  ASSERT_TRUE(build_frame(0x22, data, &frame, nullptr));
  EXPECT_EQ(frame.size(), 7u);
  EXPECT_EQ(frame[0], 6);
  EXPECT_EQ(frame[1], 0x00);
  EXPECT_EQ(frame[2], 0x22);
  EXPECT_TRUE(frame_crc_ok(frame));
  frame[3] ^= 1;
  EXPECT_FALSE(frame_crc_ok(frame));
}

TEST(Frame, RefusesACommandBeyondTheBuffer) {
  std::vector<uint8_t> frame;
  std::string err;
  std::vector<uint8_t> fits(kTxFrameMax - 5), too_long(kTxFrameMax - 4);
  EXPECT_TRUE(build_frame(0x01, fits, &frame, &err));
  EXPECT_EQ(frame.size(), kTxFrameMax);
  EXPECT_FALSE(build_frame(0x01, too_long, &frame, &err));
  EXPECT_NE(err.find("exceeds"), std::string::npos);
}

TEST(Reply, ParsesAndRejects) {
  const auto good = with_crc({0x06, 0x00, 0x01, 0x01, 0x00});
  Reply r;
  std::string err;
  ASSERT_TRUE(parse_reply(good, &r, &err)) << err;
  EXPECT_EQ(r.recmd, 0x01);
  EXPECT_EQ(r.status, 0x01);
  ASSERT_EQ(r.data.size(), 1u);
  EXPECT_EQ(r.data[0], 0x00);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* err_part;
  } cases[] = {
      {"bad crc", {0x06, 0x00, 0x01, 0x01, 0x00, 0x12, 0x34}, "CRC"},
      {"len disagrees", with_crc({0x09, 0x00, 0x01, 0x01, 0x00}), "disagrees"},
      {"too short", {0x04, 0x00, 0x01, 0xDB, 0x4B}, "short"},
  };
  for (const auto& c : cases) {
    err.clear();
    EXPECT_FALSE(parse_reply(c.bytes, &r, &err)) << c.what;
    EXPECT_NE(err.find(c.err_part), std::string::npos) << c.what << ": " << err;
  }
}

TEST(Frame, FormatsRulerAndBytes) {
  const uint8_t frame[] = {0x04, 0x00, 0x01, 0xDB, 0x4B};
  EXPECT_EQ(format_frame(frame), "00 01 02 03 04 \n04 00 01 db 4b \n");
}

}  // namespace
}  // namespace rfid
