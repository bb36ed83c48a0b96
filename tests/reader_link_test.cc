// The reader driver against the simulated modules: the real readersim on pseudo-terminals,
// published under the test's root as the daemon finds USB serial adapters, driven through the
// module record's real port, reply reader and reply handling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/clock.h"
#include "common/fsops.h"
#include "rfid/reader_module.h"
#include "testkit/readersim.h"
#include "testkit/scenario.h"
#include "testkit/sim_readers.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testkit::slurp;

std::string tags_line(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    char epc[32];
    std::snprintf(epc, sizeof epc, " 3008000000000000000000%02x", i);
    s += epc;
  }
  return s;
}

class ReaderLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.ok()) << sim_.error();
    env_.clock = &ld::system_clock();
    env_.out = &out_;
    env_.log = [this](const std::string& s) { log_ += s; };
  }

  // An RU5102 record on module i, its beeper switched off as at creation.
  std::unique_ptr<rfid::reader_module> module(size_t i) {
    auto m = rfid::init_RU5102_module(sim_.device(i), env_);
    EXPECT_GT(m->port_fd, 0) << out_;
    EXPECT_TRUE(reply_waits(*m));
    rfid::RU5102_process_module(*m, env_);
    EXPECT_EQ(m->module_state, rfid::IDLE) << out_;
    return m;
  }
  // The daemon sleeps before it polls for a reply; the test waits for it with a generous bound.
  static bool reply_waits(const rfid::reader_module& m) {
    return testkit::wait_until([&] { return rfid::posix_com_dataready(m.port_fd) == 1; }, 20000);
  }
  void process(rfid::reader_module& m) {
    ASSERT_TRUE(reply_waits(m)) << sim_.log();
    rfid::RU5102_process_module(m, env_);
  }
  bool out_has(const std::string& text) const { return out_.find(text) != std::string::npos; }

  testkit::TempRoot root_;
  testkit::SimReaders sim_{root_("/readersim"), {"ru5102", "ru5202"}};
  std::string out_, log_;
  rfid::RfidEnv env_;
};

TEST_F(ReaderLink, ModulesArePublishedWhereDiscoveryLooks) {
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(ld::is_directory(root_("/sys/bus/usb-serial/devices/ttyUSB" + std::to_string(i))));
    char target[256] = {};
    ASSERT_GT(readlink(sim_.device(i).c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
  }
  EXPECT_NE(slurp(root_("/readersim/ports")).find("ttyUSB1 ru5202 /dev/pts/"), std::string::npos);
  auto m = module(0);
  EXPECT_TRUE(out_has("openning port " + sim_.device(0) + "\n")) << out_;
  EXPECT_TRUE(sim_.log_has_prefix("ttyUSB0 rx 05 00 35 80 "));
  EXPECT_TRUE(sim_.log_has("ttyUSB0 beeper 80"));
}

TEST(Readersim, NeverPublishesIntoTheRealDev) {
  testkit::TempRoot root;
  std::string err;
  EXPECT_EQ(testkit::run({testkit::bin("readersim"), "--dir", root("/sim"), "--module", "ru5102"},
                         nullptr, &err, {{"LABELDOCK_ROOT", ""}}),
            1);
  EXPECT_NE(err.find("LABELDOCK_ROOT is not set"), std::string::npos) << err;
}

TEST_F(ReaderLink, InventoryAndFailedWritesThroughTheRealModule) {
  auto m = module(0);
  ASSERT_TRUE(sim_.control("ttyUSB0 field" + tags_line(2) + "\nttyUSB0 write fc:0b fc:0b\n"));
  rfid::RU5102_do_read(*m, env_);
  process(*m);
  EXPECT_EQ(m->module_state, rfid::IDLE) << out_;
  ASSERT_EQ(m->tags.count(), 2);
  EXPECT_EQ(m->tags.at(1).epc[11], 0x01);
  EXPECT_TRUE(sim_.log_has("ttyUSB0 inventory 1 tags 2"));

  const Bytes old_epc(m->tags.at(0).epc.begin(), m->tags.at(0).epc.end()), new_epc(12, 0x44);
  rfid::RU5102_do_write(*m, env_, old_epc, 6, new_epc, 6);
  process(*m);
  EXPECT_EQ(m->module_state, rfid::WAITING_FOR_REWRITE) << out_;
  process(*m);
  EXPECT_EQ(m->module_state, rfid::IDLE) << out_;
  EXPECT_EQ(env_.failed_writes, 2);
  EXPECT_TRUE(sim_.log_has("ttyUSB0 write fail fc 0b"));
  EXPECT_EQ(sim_.log_count("ttyUSB0 rx " + readersim::hex(m->tx())), 2);  // the identical frame again
}

TEST_F(ReaderLink, RepliesToKeptCommandsReturnAnRu5102ToIdle) {
  // A record first set up as the other model keeps its information, power and serial commands.
  auto m = module(0);
  ASSERT_TRUE(sim_.control("ttyUSB0 serial 12345678\nttyUSB0 power 20\n"));
  struct Step {
    Bytes body;
    int state;
  } steps[] = {{{0x00, 0x21}, rfid::WAITING_FOR_INFO},
               {{0x00, 0x2F, 0x01}, rfid::WAITING_FOR_SET_POWER},
               {{0x00, 0x4C}, rfid::WAITING_FOR_SERIAL},
               {{0x00, 0x47}, rfid::WAITING_FOR_GET_GPIO}};
  for (const auto& st : steps) {
    std::vector<uint8_t> frame;
    ASSERT_TRUE(rfid::build_frame(st.body[1], std::span(st.body).subspan(2), &frame, nullptr));
    rfid::send_frame(*m, env_, frame);
    rfid::_set_state(*m, st.state);
    process(*m);
    EXPECT_EQ(m->module_state, rfid::IDLE) << st.state << out_;
  }
  EXPECT_EQ(m->power, 20);
  EXPECT_EQ(m->serial_text, "12345678");
  EXPECT_TRUE(sim_.log_has("ttyUSB0 power 1"));
}

TEST_F(ReaderLink, ShortSilentAndEmptyReplies) {
  auto m = module(0);
  struct Case {
    std::string reply;
    std::string message;
    bool stop;
  } cases[] = {
      {"raw:050001", "ERROR reading 3 of 5\n", false},
      {"raw:0900010100aa", "ERROR reading 6 of 10\n", false},
      {"silent", "ERROR reading 0 of 5\n", true},
      {"raw:0000010000", "ERROR in response ret = 5 --> 00 00 01 00 00 \n", false},
  };
  for (const auto& c : cases) {
    out_.clear();
    env_.stop_request = false;
    ASSERT_TRUE(sim_.control("ttyUSB0 reply " + c.reply + "\n"));
    rfid::_set_state(*m, rfid::IDLE);
    rfid::RU5102_do_read(*m, env_);
    if (!c.stop) {
      ASSERT_TRUE(reply_waits(*m));
    }
    // Short, silent or garbage: never a whole reply; the deadline ends the command (rfid_test).
    std::string why;
    EXPECT_NE(rfid::get_response(*m, env_, &why), rfid::ReplyRead::kWhole) << c.reply;
    EXPECT_FALSE(env_.stop_request) << c.reply << c.message;
    EXPECT_EQ(m->module_state, rfid::WAITING_FOR_READ);
  }
  EXPECT_EQ(sim_.log_count("ttyUSB0 rx 04 00 01 db 4b"), 4);
}

TEST_F(ReaderLink, OverlongAndCorruptRepliesAreNotActedUpon) {
  auto m = module(0);
  // Seventeen RU5102 items make a reply of 228 bytes, more than the reply buffer holds.
  ASSERT_TRUE(sim_.control("ttyUSB0 field" + tags_line(17) + "\n"));
  rfid::RU5102_do_read(*m, env_);
  process(*m);
  EXPECT_EQ(m->tags.count(), 16);  // the items that fit the 215-byte reply record
  EXPECT_EQ(rfid::posix_com_dataready(m->port_fd), 0);  // the whole reply was read

  // Line noise: a tag reply whose CRC does not hold.
  ASSERT_TRUE(sim_.control("ttyUSB0 reply badcrc:000101010c303030303030303030303030\n"));
  rfid::_set_state(*m, rfid::IDLE);
  rfid::RU5102_do_read(*m, env_);
  process(*m);
  EXPECT_EQ(m->tags.count(), 16);
  EXPECT_EQ(m->module_state, rfid::SETTLING);  // the command ended; no tag taken from noise
}

TEST_F(ReaderLink, WaitForResponseSumsTheStatesOfAllModules) {
  auto a = module(0);
  auto b = module(1);  // an RU5202 answers the RU5102 commands it shares
  std::vector<rfid::reader_module*> both{a.get(), b.get()};
  ASSERT_TRUE(sim_.control("ttyUSB1 field" + tags_line(1) + "\n"));
  rfid::RU5102_do_read(*a, env_);
  rfid::RU5102_do_read(*b, env_);
  ASSERT_TRUE(reply_waits(*a) && reply_waits(*b));
  out_.clear();
  EXPECT_EQ(rfid::wait_for_response(both, env_), 0) << out_;
  EXPECT_EQ(out_,
            "waiting for response from 2 modules\n"
            "got response 0 state 0\n"
            "got response 1 state 0\n");

  // A module that stays silent is given up at the reply deadline: the wait ends with all idle.
  ASSERT_TRUE(sim_.control("ttyUSB1 reply silent\n"));
  rfid::RU5102_do_read(*a, env_);
  rfid::RU5102_do_read(*b, env_);
  ASSERT_TRUE(reply_waits(*a));
  EXPECT_TRUE(sim_.log_has("ttyUSB1 scripted silence"));
  EXPECT_EQ(rfid::wait_for_response(both, env_), 0);
  EXPECT_EQ(a->module_state, rfid::IDLE);
}

}  // namespace
