#include "rfid/reader_module.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace rfid {
namespace {

using Bytes = std::vector<uint8_t>;

// The first byte stands for Len, which is filled in; the CRC is appended.
Bytes with_crc(const Bytes& b) { return frame_of(std::span(b).subspan(1)); }

// A module on the slave side of a pseudo-terminal; the test answers as the reader on the master.
class ModuleOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master_.valid());
    ASSERT_EQ(grantpt(master_.get()), 0);
    ASSERT_EQ(unlockpt(master_.get()), 0);
    env_.clock = &clock_;
    env_.out = &out_;
    env_.log = [this](const std::string& s) { log_ += s; };
    module_ = init_RU5102_module(ptsname(master_.get()), env_);
    ASSERT_GE(module_->port_fd, 0) << out_;
    EXPECT_EQ(take(6), with_crc({0, 0x00, 0x35, 0x80}));  // beeper off at creation
    EXPECT_EQ(module_->module_state, WAITING_FOR_BEEPER);
    answer(with_crc({0, 0x00, 0x35, 0x00}));
    RU5102_process_module(*module_, env_);
    EXPECT_EQ(module_->module_state, IDLE) << out_;
    out_.clear();
  }
  void answer(const Bytes& b) {
    ASSERT_EQ(write(master_.get(), b.data(), b.size()), ssize_t(b.size()));
    for (int i = 0; i < 500 && !posix_com_dataready(module_->port_fd); ++i) usleep(10000);
    usleep(20000);  // the whole reply, not its first bytes
  }
  Bytes take(size_t n) {
    Bytes got;
    for (int i = 0; i < 500 && got.size() < n; ++i) {
      uint8_t b[256];
      const ssize_t r = read(master_.get(), b, std::min(sizeof b, n - got.size()));
      if (r > 0) got.insert(got.end(), b, b + r);
      else usleep(10000);
    }
    return got;
  }
  void set_nonblocking_master() { fcntl(master_.get(), F_SETFL, O_NONBLOCK); }

  ld::UniqueFd master_;
  ld::FakeClock clock_;
  std::string out_, log_;
  RfidEnv env_;
  std::unique_ptr<reader_module> module_;
};

TEST_F(ModuleOnPty, InventoryAddsTagsAndNoTagsIsLogged) {
  set_nonblocking_master();
  RU5102_do_read(*module_, env_);
  EXPECT_EQ(take(5), (Bytes{0x04, 0x00, 0x01, 0xDB, 0x4B}));
  Bytes reply{0, 0x00, 0x01, 0x01, 2};
  for (uint8_t t = 1; t <= 2; ++t) {
    reply.push_back(12);
    for (int i = 0; i < 12; ++i) reply.push_back(static_cast<uint8_t>(i == 11 ? t : 0x30));
  }
  answer(with_crc(reply));
  RU5102_process_module(*module_, env_);
  EXPECT_EQ(module_->module_state, IDLE) << out_;
  EXPECT_EQ(module_->tags.count(), 2);
  EXPECT_EQ(module_->tags.at(1).epc[11], 2);
  EXPECT_EQ(module_->tags.at(1).hdr[1], 12);
  EXPECT_EQ(module_->total_reads, 2);  // counted toward deciding the modules

  RU5102_do_read(*module_, env_);
  take(5);
  answer(with_crc({0, 0x00, 0x01, 0xFB}));
  RU5102_process_module(*module_, env_);
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_NE(log_.find("no tags\n"), std::string::npos);
}

TEST_F(ModuleOnPty, FailedWriteIsSentOnceMoreAndEachResultReported) {
  set_nonblocking_master();
  std::vector<std::pair<int, int>> results;
  env_.write_result = [&](int state, int err, int, std::span<const uint8_t>) { results.emplace_back(state, err); };
  const Bytes old_epc(12, 0x11), new_epc(12, 0x22);
  RU5102_do_write(*module_, env_, old_epc, 6, new_epc, 6);
  const Bytes first = take(static_cast<size_t>(module_->tx_len));
  EXPECT_EQ(module_->module_state, WAITING_FOR_WRITE);
  RU5102_do_read(*module_, env_);  // refused: busy
  EXPECT_NE(out_.find("invalid state for reading 3\n"), std::string::npos);
  answer(with_crc({0, 0x00, 0x03, 0x0F}));
  RU5102_process_module(*module_, env_);
  EXPECT_EQ(module_->module_state, WAITING_FOR_REWRITE);
  EXPECT_EQ(take(first.size()), first);  // the identical frame again
  answer(with_crc({0, 0x00, 0x03, 0x0F}));
  RU5102_process_module(*module_, env_);
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_EQ(env_.failed_writes, 2);
  EXPECT_EQ(results, (std::vector<std::pair<int, int>>{{0x0F, 0}, {0x0F, 0}}));
}

TEST_F(ModuleOnPty, FixModeWritesTheNewEpc) {
  set_nonblocking_master();
  env_.tags.fix_mode = true;
  const Bytes item{0, 12, 0x30, 0x08, 0x33, 0xB2, 0xDD, 0xD9, 0x01, 0x40, 0, 0, 0, 0, 0, 0, 0};
  module_->tags.add_tag(item, 0, env_.tags);
  ASSERT_TRUE(do_fix_tags(*module_, env_));
  const Bytes frame = take(static_cast<size_t>(module_->tx_len));
  ASSERT_EQ(frame.size(), 5u + 12 + 2 + 12 + 4 + 2);
  const Bytes new_epc(frame.begin() + 19, frame.begin() + 31);
  EXPECT_EQ(new_epc, (Bytes{0x30, 0x08, 0x33, 0xB2, 0xDD, 0xD9, 0x01, 0x40, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(module_->tags.at(0).epc[9], 0x01);
  EXPECT_FALSE(do_fix_tags(*module_, env_));
}

TEST_F(ModuleOnPty, BadCrcIsNotActedUpon) {
  set_nonblocking_master();
  RU5102_do_read(*module_, env_);
  take(5);
  Bytes noise = with_crc({0, 0x00, 0x01, 0x01, 1, 12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  noise.back() ^= 0xFF;
  answer(noise);
  RU5102_process_module(*module_, env_);
  EXPECT_EQ(module_->tags.count(), 0);
  EXPECT_EQ(module_->module_state, SETTLING);
  EXPECT_NE(log_.find("CRC"), std::string::npos) << log_;
}

TEST_F(ModuleOnPty, RepliesToKeptCommandsReturnToIdle) {
  // A record first set up as the other model keeps its power, serial and GPIO commands; their
  // replies must not leave it waiting for ever.
  struct Case {
    int state;
    Bytes reply;
  } cases[] = {
      {WAITING_FOR_SET_POWER, with_crc({0, 0x00, 0x2F, 0x00})},
      {WAITING_FOR_SERIAL, with_crc({0, 0x00, 0x4C, 0x00, 0x12, 0x34, 0x56, 0x78})},
      {WAITING_FOR_INFO, with_crc({0, 0x00, 0x21, 0x00, 1, 2, 0x08, 0, 0, 0, 26, 10})},
      {WAITING_FOR_SET_GPIO, with_crc({0, 0x00, 0x46, 0x00})},
      {WAITING_FOR_GET_GPIO, with_crc({0, 0x00, 0x47, 0x00, 0x03})},
  };
  std::string err;
  env_.err = &err;
  module_->location = 2;
  for (const auto& c : cases) {
    _set_state(*module_, c.state);
    answer(c.reply);
    RU5102_process_module(*module_, env_);
    EXPECT_EQ(module_->module_state, IDLE) << c.state << out_;
  }
  EXPECT_EQ(module_->serial_text, "12345678");
  EXPECT_EQ(module_->power, 26);
  // The messages are those of the model that owns the commands.
  EXPECT_EQ(out_,
            "Exit: module serial no 12345678\n"
            "Exit: Version 01\nsub Version 02\nmodule type 08\ntr_type 00\ndmaxfreq 0\n"
            "dminfreq 0\npower 26\nscan time 10\nreassigning module to RU5102");
  EXPECT_EQ(err,
            "Exit: RU-5202 got WAITING_FOR_SET_GPIO response\n"
            "Exit: RU-5202 got WAITING_FOR_GET_GPIO response\n"
            "Exit: GPIO cmd 47 status 00 data 03\n");
}

// Every way a reply can go wrong ends the command within the deadline: logged, the module
// settles while late bytes are drained, and then is idle and reads the next reply properly.
TEST_F(ModuleOnPty, FaultyRepliesEndTheCommandAndLateBytesAreDrained) {
  set_nonblocking_master();
  const Bytes good = with_crc({0, 0x00, 0x01, 0xFB});
  Bytes bad_crc = good;
  bad_crc.back() ^= 0x5A;
  struct {
    const char* name;
    Bytes now;   // arrives before the deadline
    Bytes late;  // arrives after it
    const char* logged;
  } cases[] = {
      {"silent", {}, {}, "ERROR no reply within 500 ms (state 1); command ended\n"},
      {"cut", Bytes(good.begin(), good.begin() + 3), {}, "ERROR reply cut short after 3 bytes (state 1)"},
      {"late", {}, good, "ERROR no reply within 500 ms (state 1)"},
      {"split", Bytes(good.begin(), good.begin() + 2), Bytes(good.begin() + 2, good.end()),
       "ERROR reply cut short after 2 bytes"},
      {"garbage", {0x02, 0x7F, 0x00}, {}, "ERROR garbage on the line (length byte 2)"},
      {"bad crc", bad_crc, {}, "ERROR reply CRC mismatch (state 1)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    RU5102_do_read(*module_, env_);
    take(5);
    if (!c.now.empty()) answer(c.now);
    RU5102_process_module(*module_, env_);
    if (awaiting_reply(*module_)) {
      clock_.advance_ms(kReplyDeadlineMs);
      tend_module(*module_, env_);
    }
    EXPECT_EQ(module_->module_state, SETTLING);
    EXPECT_NE(log_.find(c.logged), std::string::npos) << log_;
    if (!c.late.empty()) answer(c.late);
    tend_module(*module_, env_);  // drained while settling; the quiet time starts again
    const int64_t quiet = module_->settle_quiet_ms;
    EXPECT_EQ(quiet, std::string(c.logged).find("ERROR reply CRC") == 0 ||
                             std::string(c.logged).find("ERROR garbage") == 0
                         ? kSettleQuietMs : kSettleAfterSilenceMs);
    clock_.advance_ms(quiet - 1);
    tend_module(*module_, env_);
    EXPECT_EQ(module_->module_state, SETTLING);
    clock_.advance_ms(1);
    tend_module(*module_, env_);
    EXPECT_EQ(module_->module_state, IDLE);
    // The next command reads its own reply.
    RU5102_do_read(*module_, env_);
    take(5);
    answer(good);
    RU5102_process_module(*module_, env_);
    EXPECT_EQ(module_->module_state, IDLE) << log_ << out_;
    EXPECT_NE(log_.find("no tags\n"), std::string::npos) << log_;
  }
}

// A write whose reply never comes counts as failed, is reported, and goes out once more after
// the quiet time (an RU5102 resends once); after that it is given up.
TEST_F(ModuleOnPty, AWriteWithoutReplyIsResentThenReportedFailed) {
  set_nonblocking_master();
  std::vector<int> states;
  env_.write_result = [&](int state, int, int, std::span<const uint8_t>) { states.push_back(state); };
  const Bytes epc(12, 0x30);
  RU5102_do_write(*module_, env_, epc, 6, epc, 6);
  const Bytes frame = take(module_->tx().size());
  for (int attempt = 0; attempt < 2; ++attempt) {
    clock_.advance_ms(kReplyDeadlineMs);
    tend_module(*module_, env_);
    clock_.advance_ms(kSettleAfterSilenceMs);
    tend_module(*module_, env_);
  }
  EXPECT_EQ(take(frame.size()), frame);  // the one resend
  EXPECT_EQ(module_->module_state, IDLE);
  EXPECT_EQ(states, (std::vector<int>{kWriteNoReply, kWriteNoReply}));
  EXPECT_EQ(env_.failed_writes, 2);
}

}  // namespace
}  // namespace rfid
