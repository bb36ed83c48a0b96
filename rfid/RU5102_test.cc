#include "rfid/RU5102.h"

#include <gtest/gtest.h>

namespace rfid::ru5102 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_crc(Bytes bytes) {
  append_crc(&bytes);
  return bytes;
}

Reply parsed(const Bytes& frame) {
  Reply r;
  std::string err;
  EXPECT_TRUE(parse_reply(frame, &r, &err)) << err;
  return r;
}

// A reply frame: Len Adr reCmd Status data CRC.
Bytes reply(uint8_t recmd, uint8_t status, Bytes data = {}) {
  Bytes b{static_cast<uint8_t>(5 + data.size()), 0x00, recmd, status};
  b.insert(b.end(), data.begin(), data.end());
  return with_crc(b);
}

TEST(Ru5102Frames, ByteExact) {
  EXPECT_EQ(read_frame(), (Bytes{0x04, 0x00, 0x01, 0xDB, 0x4B}));
  EXPECT_EQ(beeper_frame(0), with_crc({0x05, 0x00, 0x35, 0x80}));
  EXPECT_EQ(beeper_frame(0x90)[3], 0x10);  // wraps modulo 256

  const Bytes old_epc{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const Bytes new_epc{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB};
  Bytes frame;
  std::string err;
  ASSERT_TRUE(write_frame(old_epc, 6, new_epc, 6, &frame, &err)) << err;
  Bytes want{0, 0x00, 0x03, 6, 6};
  want.insert(want.end(), old_epc.begin(), old_epc.end());
  want.push_back(0x01);
  want.push_back(0x02);
  want.insert(want.end(), new_epc.begin(), new_epc.end());
  want.insert(want.end(), 4, 0x00);
  want[0] = static_cast<uint8_t>(want.size() + 1);
  EXPECT_EQ(frame, with_crc(want));

  ASSERT_TRUE(random_write_frame(new_epc, 6, &frame, &err)) << err;
  want = {0, 0x00, 0x04, 6, 0, 0, 0, 0};
  want.insert(want.end(), new_epc.begin(), new_epc.end());
  want[0] = static_cast<uint8_t>(want.size() + 1);
  EXPECT_EQ(frame, with_crc(want));

  // Word counts beyond the EPC given are refused rather than read past it.
  EXPECT_FALSE(write_frame(old_epc, 7, new_epc, 6, &frame, &err));
  EXPECT_FALSE(random_write_frame(new_epc, -1, &frame, &err));
}

TEST(Ru5102Reply, HeaderAndLength) {
  const Bytes zero_len{0x00, 0x00, 0x01, 0x00, 0x00};
  EXPECT_FALSE(check_response_header(zero_len));
  EXPECT_EQ(get_msg_len(zero_len), 1);
  EXPECT_TRUE(check_response_header(read_frame()));
  EXPECT_EQ(get_msg_len(read_frame()), 5);
}

TEST(Ru5102Reply, Inventory) {
  Bytes two_tags{2};
  for (uint8_t t = 0; t < 2; ++t) {
    two_tags.push_back(12);
    for (uint8_t i = 0; i < 12; ++i) two_tags.push_back(static_cast<uint8_t>(t * 0x10 + i));
  }
  auto frame = reply(0x01, 0x01, two_tags);
  Inventory inv = parse_inventory(parsed(frame));
  EXPECT_EQ(inv.kind, Inventory::Tags);
  ASSERT_EQ(inv.items.size(), 2u);
  EXPECT_EQ(inv.items[1][0], 12);
  EXPECT_EQ(inv.items[1][1], 0x10);
  EXPECT_FALSE(inv.truncated);

  // Num claiming more items than came: only the whole ones are used.
  Bytes claims_three = two_tags;
  claims_three[0] = 3;
  auto frame3 = reply(0x01, 0x01, claims_three);
  inv = parse_inventory(parsed(frame3));
  EXPECT_EQ(inv.items.size(), 2u);
  EXPECT_TRUE(inv.truncated);

  struct Case {
    uint8_t recmd, status;
    Inventory::Kind kind;
  } cases[] = {
      {0x01, 0xFB, Inventory::NoTags},
      {0x01, 0x05, Inventory::NoTags},
      {0x01, 0xFC, Inventory::Unexpected},
      {0x03, 0x00, Inventory::Unexpected},
  };
  for (const auto& c : cases) {
    auto f = reply(c.recmd, c.status);
    EXPECT_EQ(parse_inventory(parsed(f)).kind, c.kind) << int(c.recmd) << " " << int(c.status);
  }
}

TEST(Ru5102Reply, WriteOutcomes) {
  const auto fail = reply(0x03, 0x0F);
  const auto ok = reply(0x04, 0x00);
  const auto other = reply(0x01, 0x00);
  struct Case {
    const char* what;
    const Bytes* frame;
    int state, index;
    WriteOutcome::Kind kind;
    int next, entry;
    bool index_error;
  } cases[] = {
      {"first failure resends", &fail, WAITING_FOR_WRITE, -1, WriteOutcome::Resend, WAITING_FOR_REWRITE, -1, false},
      {"second failure ends", &fail, WAITING_FOR_REWRITE, -1, WriteOutcome::Failed, IDLE, -1, false},
      {"failure marks entry", &fail, WAITING_FOR_WRITE, 7, WriteOutcome::Resend, WAITING_FOR_REWRITE, ST_FAIL, false},
      {"rewrite failure marks entry", &fail, WAITING_FOR_REWRITE, 7, WriteOutcome::Failed, IDLE, ST_RW_FAIL, false},
      {"success, no entry", &ok, WAITING_FOR_WRITE, -1, WriteOutcome::Succeeded, IDLE, -1, true},
      {"success on entry 0", &ok, WAITING_FOR_WRITE, 0, WriteOutcome::Succeeded, IDLE, ST_OK, false},
      {"rewrite success", &ok, WAITING_FOR_REWRITE, 1999, WriteOutcome::Succeeded, IDLE, ST_RW_OK, false},
      {"past the table", &ok, WAITING_FOR_WRITE, 2000, WriteOutcome::Succeeded, IDLE, -1, true},
      {"unexpected reply keeps state", &other, WAITING_FOR_REWRITE, 3, WriteOutcome::Unexpected, WAITING_FOR_REWRITE, -1, false},
  };
  for (const auto& c : cases) {
    const WriteOutcome w = decide_write(parsed(*c.frame), c.state, c.index, 2000);
    EXPECT_EQ(w.kind, c.kind) << c.what;
    EXPECT_EQ(w.next_state, c.next) << c.what;
    EXPECT_EQ(w.entry_status, c.entry) << c.what;
    EXPECT_EQ(w.index_error, c.index_error) << c.what;
  }
}

TEST(Ru5102Reply, KeptCommandsCompleteOnAnyReply) {
  for (int s : {WAITING_FOR_SET_POWER, WAITING_FOR_SERIAL, WAITING_FOR_INFO, WAITING_FOR_SET_GPIO,
                WAITING_FOR_GET_GPIO, WAITING_FOR_BEEPER}) {
    EXPECT_TRUE(completes_any_reply(s)) << s;
  }
  for (int s : {IDLE, WAITING_FOR_READ, WAITING_FOR_WRITE, WAITING_FOR_REWRITE}) {
    EXPECT_FALSE(completes_any_reply(s)) << s;
  }
}

}  // namespace
}  // namespace rfid::ru5102
