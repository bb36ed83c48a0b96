#include "rfid/RU5202.h"

#include "rfid/RU5102.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <deque>
#include <unistd.h>

namespace rfid {
namespace {

using Bytes = std::vector<uint8_t>;

// The first byte stands for Len, which is filled in; the CRC is appended.
Bytes framed(const Bytes& b) { return frame_of(std::span(b).subspan(1)); }

Bytes epc_of(uint8_t last) {
  Bytes e{0x30, 0x08, 0x33, 0xB2, 0xDD, 0xD9, 0x01, 0x40, 0, 0, 0, last};
  return e;
}

// An inventory reply: antenna, Num, then per tag the length byte, the EPC and an RSSI.
Bytes inventory(uint8_t status, const std::vector<uint8_t>& tags, int num = -1) {
  Bytes b{0, 0x00, 0x01, status, 0x80, static_cast<uint8_t>(num < 0 ? tags.size() : num)};
  for (uint8_t t : tags) {
    b.push_back(12);
    const Bytes e = epc_of(t);
    b.insert(b.end(), e.begin(), e.end());
    b.push_back(static_cast<uint8_t>(0x40 + t));
  }
  return framed(b);
}

TEST(Ru5202Frames, ByteExact) {
  EXPECT_EQ(ru5202::read_frame(), (Bytes{0x09, 0x00, 0x01, 0x04, 0x00, 0x00, 0x80, 0x0A, 0x22, 0xDA}));
  struct {
    Bytes got, want;
  } cases[] = {
      {ru5202::command_frame(ru5202::kCmdInfo), framed({0, 0x00, 0x21})},
      {ru5202::command_frame(ru5202::kCmdSetPower, 7), framed({0, 0x00, 0x2F, 7})},
      {ru5202::command_frame(ru5202::kCmdSerial), framed({0, 0x00, 0x4C})},
      {ru5202::command_frame(ru5202::kCmdGetGpio), framed({0, 0x00, 0x47})},
      {ru5202::command_frame(ru5202::kCmdSetGpio, 3), framed({0, 0x00, 0x46, 3})},
      {ru5202::command_frame(ru5202::kCmdBeeper, 0), framed({0, 0x00, 0x40, 0})},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);

  // The counts written are fixed (7 words from word 1: PC 0x3000 and the EPC); the caller's
  // counts decide only how many bytes are copied.
  const Bytes old_epc = epc_of(1), new_epc = epc_of(2);
  Bytes frame, want{0, 0x00, 0x03, 0x07, 0x06};
  want.insert(want.end(), old_epc.begin(), old_epc.end());
  want.insert(want.end(), {0x01, 0x01, 0x30, 0x00});
  want.insert(want.end(), new_epc.begin(), new_epc.end());
  want.insert(want.end(), 4, 0x00);
  std::string err;
  ASSERT_TRUE(ru5202::write_frame(old_epc, 6, new_epc, 6, &frame, &err)) << err;
  EXPECT_EQ(frame, framed(want));
  ASSERT_TRUE(ru5202::write_frame({}, 0, {}, 0, &frame, &err));  // empty EPCs: header only
  EXPECT_EQ(frame, framed({0, 0x00, 0x03, 0x07, 0x06, 0x01, 0x01, 0x30, 0x00, 0, 0, 0, 0}));
  EXPECT_FALSE(ru5202::write_frame(old_epc, 7, new_epc, 6, &frame, &err));  // past the EPC
  ASSERT_TRUE(ru5102::random_write_frame(new_epc, 6, &frame, &err));  // the one frame of both
  want = {0, 0x00, 0x04, 6, 0, 0, 0, 0};
  want.insert(want.end(), new_epc.begin(), new_epc.end());
  EXPECT_EQ(frame, framed(want));
}

TEST(Ru5202Replies, InventoryItemsAndVerdicts) {
  struct Case {
    Bytes frame;
    ru5202::Inventory::Kind kind;
    size_t items;
    bool truncated;
  } cases[] = {
      {inventory(0x01, {1, 2}), ru5202::Inventory::Tags, 2, false},
      {inventory(0x01, {}), ru5202::Inventory::Tags, 0, false},
      {inventory(0x01, {1}, 3), ru5202::Inventory::Tags, 1, true},  // Num beyond the items
      {framed({0, 0x00, 0x01, 0xFB}), ru5202::Inventory::NoTags, 0, false},
      {framed({0, 0x00, 0x01, 0xFE}), ru5202::Inventory::Unexpected, 0, false},
      {framed({0, 0x00, 0x03, 0x00}), ru5202::Inventory::Unexpected, 0, false},
  };
  for (const auto& c : cases) {
    Reply r;
    ASSERT_TRUE(parse_reply(c.frame, &r, nullptr));
    const auto inv = ru5202::parse_inventory(c.frame, r);
    EXPECT_EQ(inv.kind, c.kind);
    EXPECT_EQ(inv.items.size(), c.items);
    EXPECT_EQ(inv.truncated, c.truncated);
  }
  const Bytes two = inventory(0x01, {1, 2});
  Reply r;
  ASSERT_TRUE(parse_reply(two, &r, nullptr));
  const auto inv = ru5202::parse_inventory(two, r);
  EXPECT_EQ(inv.items[1][1], 12);          // length byte at item offset 1
  EXPECT_EQ(inv.items[1][2 + 11], 2);      // EPC from item offset 2
  EXPECT_EQ(inv.items[1][14], 0x42);       // RSSI at 14
}

TEST(Ru5202Replies, WriteOutcomes) {
  std::deque<Bytes> frames;  // the replies view these
  auto reply = [&frames](uint8_t recmd, uint8_t status, uint8_t code) {
    Reply r;
    frames.push_back(framed({0, 0x00, recmd, status, code}));
    parse_reply(frames.back(), &r, nullptr);
    return r;
  };
  using W = ru5202::WriteOutcome;
  struct Case {
    Reply r;
    int state, rewrites, index;
    W::Kind kind;
    int next, entry, code;
    bool index_error;
  } cases[] = {
      {reply(0x03, 0, 0), WAITING_FOR_WRITE, 0, -1, W::Succeeded, IDLE, -1, 0, false},
      {reply(0x03, 0, 0), WAITING_FOR_REWRITE, 1, 5, W::Succeeded, IDLE, ST_RW_OK, 0, false},
      {reply(0x04, 0, 0), WAITING_FOR_WRITE, 0, 0, W::Succeeded, IDLE, ST_OK, 0, false},
      {reply(0x03, 0, 0), WAITING_FOR_WRITE, 0, 2000, W::Succeeded, IDLE, -1, 0, true},
      {reply(0x03, 0xFC, 0x0B), WAITING_FOR_WRITE, 0, -1, W::Resend, WAITING_FOR_REWRITE, -1, 0x0B, false},
      {reply(0x03, 0xFC, 0x0B), WAITING_FOR_REWRITE, 2, 3, W::Resend, WAITING_FOR_REWRITE, ST_RW_FAIL, 0x0B, false},
      {reply(0x03, 0xFC, 0x0B), WAITING_FOR_REWRITE, 3, 3, W::Failed, IDLE, ST_RW_FAIL, 0x0B, false},
      {reply(0x01, 0, 0), WAITING_FOR_WRITE, 0, -1, W::Unexpected, WAITING_FOR_WRITE, -1, 0, false},
  };
  for (const auto& c : cases) {
    const W w = ru5202::decide_write(c.r, c.state, c.rewrites, c.index, kTagTableSize);
    EXPECT_EQ(w.kind, c.kind);
    EXPECT_EQ(w.next_state, c.next);
    EXPECT_EQ(w.entry_status, c.entry);
    EXPECT_EQ(w.error_code, c.code);
    EXPECT_EQ(w.index_error, c.index_error);
  }
}

// An RU5202 record on the slave side of a pseudo-terminal; the test answers on the master.
class Ru5202OnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master_.valid());
    ASSERT_EQ(grantpt(master_.get()), 0);
    ASSERT_EQ(unlockpt(master_.get()), 0);
    fcntl(master_.get(), F_SETFL, O_NONBLOCK);
    env_.clock = &clock_;
    env_.out = &out_;
    env_.log = [this](const std::string& s) { log_ += s; };
    env_.tags.out = &out_;
    env_.tags.log = &log_;
    env_.tags.lost_tags = &lost_tags_;
    env_.tags.report = [this](const TagReport& r) { reports_.push_back(r); };
    env_.write_result = [this](int state, int err, int index, std::span<const uint8_t> epc) {
      results_.push_back({state, err, index, Bytes(epc.begin(), epc.end())});
    };
    module_ = init_RU5202_module(ptsname(master_.get()), env_);
    ASSERT_GE(module_->port_fd, 0) << out_;
    EXPECT_EQ(module_->serial_text, "UNKNOWN");
    EXPECT_EQ(module_->write_index, -1);
  }
  // Writes a reply and hands it to the module once all of it can be read.
  void answer(const Bytes& b) {
    ASSERT_EQ(write(master_.get(), b.data(), b.size()), ssize_t(b.size()));
    for (int i = 0; i < 500 && !posix_com_dataready(module_->port_fd); ++i) usleep(10000);
    usleep(20000);
    module_->ops.op_process(*module_, env_);
  }
  Bytes take() {
    Bytes got;
    for (int i = 0; i < 50; ++i) {
      uint8_t b[256];
      const ssize_t r = read(master_.get(), b, sizeof b);
      if (r > 0) {
        got.insert(got.end(), b, b + r);
        i = 40;  // a little longer for the rest
      } else {
        usleep(5000);
      }
    }
    return got;
  }
  struct Result {
    int state, err, index;
    Bytes epc;
  };

  ld::UniqueFd master_;
  ld::FakeClock clock_;
  std::string out_, log_;
  int lost_tags_ = 0;
  std::vector<TagReport> reports_;
  std::vector<Result> results_;
  RfidEnv env_;
  std::unique_ptr<reader_module> module_;
};

TEST_F(Ru5202OnPty, InventoryCountsCyclesAndReportsLostTags) {
  module_->location = 1;
  env_.tags.location = 1;
  module_->ops.op_read(*module_, env_);
  EXPECT_EQ(take(), ru5202::read_frame());
  module_->ops.op_read(*module_, env_);  // busy: refused, nothing sent
  EXPECT_NE(out_.find("Entry:invalid state for reading 1\n"), std::string::npos) << out_;
  EXPECT_TRUE(take().empty());
  answer(inventory(0x01, {1, 2}));
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_EQ(module_->read_cycle, 1);
  EXPECT_EQ(module_->total_reads, 2);
  ASSERT_EQ(module_->tags.count(), 2);
  EXPECT_EQ(module_->tags.at(0).signal, 0x41 * 256 + 12);  // RSSI, then the next item's length byte

  // A reply without tags advances the cycle but looks for no lost tags.
  module_->ops.op_read(*module_, env_);
  answer(inventory(0x01, {}));
  EXPECT_EQ(module_->read_cycle, 2);
  EXPECT_TRUE(reports_.empty());

  // Cycle 3 sees only tag 2: tag 1 is lost, reported once with its reads.
  module_->ops.op_read(*module_, env_);
  answer(inventory(0x01, {2}));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].st, 0);
  EXPECT_EQ(reports_[0].nr, 1);
  EXPECT_TRUE(reports_[0].entry);
  module_->ops.op_read(*module_, env_);
  answer(framed({0, 0x00, 0x01, 0xFB}));
  EXPECT_NE(log_.find("Entry: no tags\n"), std::string::npos);
  EXPECT_EQ(module_->module_state, IDLE);
}

TEST_F(Ru5202OnPty, FourFailedWritesAreThreeResendsAndFourReports) {
  module_->location = 2;
  module_->write_slot = 12;
  const Bytes old_epc = epc_of(1), new_epc = epc_of(9);
  std::copy(new_epc.begin(), new_epc.end(), module_->new_epc.begin());
  module_->new_epc_len = 12;
  module_->ops.op_write(*module_, env_, old_epc, 6, new_epc, 6);
  const Bytes first = take();
  ASSERT_EQ(first.size(), 5u + 2 + 12 + 4 + 12 + 4);
  EXPECT_EQ(module_->module_state, WAITING_FOR_WRITE);
  const Bytes fail = framed({0, 0x00, 0x03, 0xFC, 0x0B});
  for (int i = 0; i < 3; ++i) {
    answer(fail);
    EXPECT_EQ(module_->module_state, WAITING_FOR_REWRITE);
    EXPECT_EQ(take(), first) << "resend " << i + 1;
  }
  answer(fail);
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(env_.failed_writes, 4);
  ASSERT_EQ(results_.size(), 4u);
  for (const auto& r : results_) {
    EXPECT_EQ(r.state, 0xFC);
    EXPECT_EQ(r.err, 0x0B);
    EXPECT_EQ(r.index, 12);
    EXPECT_EQ(r.epc, new_epc);
  }
  EXPECT_NE(log_.find("Exit: rewriting 3\n"), std::string::npos) << log_;
  EXPECT_NE(log_.find("Exit: WRITE FAIL : fc 0b (7) 3\n"), std::string::npos) << log_;
}

TEST_F(Ru5202OnPty, WriteWaitsThroughAnUnexpectedReplyAndSucceeds) {
  module_->write_slot = 4;
  const Bytes e = epc_of(3);
  module_->ops.op_write(*module_, env_, e, 6, e, 6);
  take();
  answer(framed({0, 0x00, 0x01, 0x00, 0x80, 0x00}));
  EXPECT_EQ(module_->module_state, WAITING_FOR_WRITE);
  EXPECT_NE(out_.find("WAITING_FOR_WRITE got unexpected response 01 status 00\n"), std::string::npos);
  answer(framed({0, 0x00, 0x03, 0x00, 0x00}));
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_EQ(env_.writes, 1);
  ASSERT_EQ(results_.size(), 1u);
  EXPECT_EQ(results_[0].state, 0);
  EXPECT_EQ(results_[0].index, 4);

  // A write is sent only from IDLE or after a failure; a busy module sends nothing.
  _set_state(*module_, WAITING_FOR_READ);
  module_->ops.op_write(*module_, env_, e, 6, e, 6);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(module_->module_state, WAITING_FOR_READ);
}

TEST_F(Ru5202OnPty, PowerSerialGpioAndBusyRefusals) {
  EXPECT_EQ(module_->ops.op_set_power(*module_, env_, 7), 1);
  EXPECT_EQ(take(), ru5202::command_frame(ru5202::kCmdSetPower, 7));
  EXPECT_EQ(module_->power, 7);
  struct {
    int (*op)(reader_module&, RfidEnv&);
    const char* text;
  } busy[] = {{get_power, ": get_power module not at idle\n"},
              {RU5202_get_serial_no, ": get_serial_no module not at idle\n"},
              {get_gpio, ": get_gpio module not at idle\n"}};
  for (const auto& b : busy) {
    EXPECT_EQ(b.op(*module_, env_), 0);
    EXPECT_NE(out_.find(b.text), std::string::npos) << b.text;
  }
  EXPECT_EQ(set_gpio(*module_, env_, 3), 0);
  EXPECT_TRUE(take().empty());
  answer(framed({0, 0x00, 0x2F, 0x00}));
  EXPECT_EQ(module_->module_state, IDLE);

  EXPECT_EQ(module_->ops.op_get_serial(*module_, env_), 1);
  answer(framed({0, 0x00, 0x4C, 0x00, 0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(module_->serial_text, "12345678");
  EXPECT_EQ(module_->module_state, IDLE);

  std::string err;
  env_.err = &err;
  EXPECT_EQ(module_->ops.op_get_gpio(*module_, env_), 1);
  answer(framed({0, 0x00, 0x47, 0x00, 0x03}));
  EXPECT_NE(err.find(": GPIO cmd 47 status 00 data 03\n"), std::string::npos) << err;
  EXPECT_EQ(module_->module_state, IDLE);

  // Line noise (a wrong CRC) completes nothing.
  EXPECT_EQ(module_->ops.op_get_serial(*module_, env_), 1);
  Bytes noise = framed({0, 0x00, 0x4C, 0x00, 1, 2, 3, 4});
  noise.back() ^= 0x55;
  answer(noise);
  EXPECT_EQ(module_->module_state, SETTLING);
  EXPECT_EQ(module_->serial_text, "12345678");
}

TEST_F(Ru5202OnPty, InformationReplyOfAnRu5102SwitchesItsOperations) {
  EXPECT_EQ(module_->ops.op_get_power(*module_, env_), 1);
  EXPECT_EQ(take(), ru5202::command_frame(ru5202::kCmdInfo));
  answer(framed({0, 0x00, 0x21, 0x00, 0x03, 0x01, 0x08, 0x02, 0x3E, 0x00, 26, 10}));
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_EQ(module_->power, 26);
  EXPECT_NE(out_.find("module type 08\n"), std::string::npos);
  EXPECT_NE(out_.find("reassigning module to RU5102"), std::string::npos);
  EXPECT_EQ(module_->ops.op_read, &RU5102_do_read);
  EXPECT_EQ(module_->ops.op_set_power, &set_power);  // kept from the first set-up

  // It now reads as an RU5102: 13-byte items, read cycle 0.
  module_->ops.op_read(*module_, env_);
  EXPECT_EQ(take(), (Bytes{0x04, 0x00, 0x01, 0xDB, 0x4B}));
  Bytes reply{0, 0x00, 0x01, 0x01, 1, 12};
  const Bytes e = epc_of(5);
  reply.insert(reply.end(), e.begin(), e.end());
  answer(framed(reply));
  ASSERT_EQ(module_->tags.count(), 1);
  EXPECT_EQ(module_->tags.at(0).epc[11], 5);
  EXPECT_EQ(module_->read_cycle, 0);

  // A kept command's reply still completes.
  EXPECT_EQ(module_->ops.op_set_power(*module_, env_, 1), 1);
  answer(framed({0, 0x00, 0x2F, 0x00}));
  EXPECT_EQ(module_->module_state, IDLE);
}

}  // namespace
}  // namespace rfid
