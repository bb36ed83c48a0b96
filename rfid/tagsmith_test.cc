#include "rfid/tagsmith.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/fsops.h"
#include "common/net.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace rfid {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes framed(const Bytes& body) { return frame_of(body); }

Bytes hex_bytes(const std::string& hex) {
  Bytes b;
  hex2byte(hex, &b);
  return b;
}

// A reader module on a pseudo-terminal, answered by the test as an RU5202 would.
struct FakeReader {
  ld::UniqueFd master;
  int number = 0;
  std::vector<std::string> field;  // EPCs in hex
  uint8_t write_status = 0;
  std::vector<Bytes> frames;       // what the daemon sent

  Bytes reply_to(const Bytes& f) {
    switch (f[2]) {
      case 0x21: return framed({0x00, 0x21, 0x00, 0x05, 0x01, 0x10, 0x02, 0x3E, 0x00, 0x1A, 0x0A});
      case 0x4C: return framed({0x00, 0x4C, 0x00, 0x52, 0x00, 0x00, static_cast<uint8_t>(number)});
      case 0x01: {
        if (field.empty()) return framed({0x00, 0x01, 0xFB});
        Bytes r{0x00, 0x01, 0x01, 0x01, static_cast<uint8_t>(field.size())};
        for (const std::string& epc : field) {
          r.push_back(12);
          const Bytes e = hex_bytes(epc);
          r.insert(r.end(), e.begin(), e.end());
          r.push_back(0x60);
        }
        return framed(r);
      }
      case 0x03: return framed({0x00, 0x03, write_status, 0x0B});
      default: return framed({0x00, f[2], 0x00, 0x00});
    }
  }
  // Reads what the daemon wrote and answers every whole frame.
  void answer() {
    Bytes in;
    uint8_t buf[512];
    ssize_t n;
    while ((n = read(master.get(), buf, sizeof buf)) > 0) in.insert(in.end(), buf, buf + n);
    for (size_t at = 0; at < in.size() && at + in[at] + 1 <= in.size(); at += in[at] + 1u) {
      const Bytes f(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + in[at] + 1));
      frames.push_back(f);
      const Bytes r = reply_to(f);
      ASSERT_EQ(write(master.get(), r.data(), r.size()), ssize_t(r.size()));
    }
  }
  int count(uint8_t cmd) const {
    int c = 0;
    for (const Bytes& f : frames) c += f[2] == cmd;
    return c;
  }
};

// The daemon's pauses are where the modules answer: every reply is there when it looks. The
// time moves only with the pauses and when the test says.
class AnsweringClock : public DaemonClock {
 public:
  time_t now() override { return fake_.now(); }
  int64_t monotonic_ms() override { return fake_.monotonic_ms(); }
  TimeVal time_of_day() override { return {static_cast<int32_t>(fake_.now()), 0}; }
  void advance_ms(int64_t ms) { fake_.advance_ms(ms); }
  void sleep_ms(long ms) override {
    fake_.sleep_ms(ms);
    usleep(2000);
    std::lock_guard<std::mutex> lock(*mu);
    for (FakeReader* r : *readers) r->answer();
    usleep(2000);
    if (on_pause) on_pause();
  }
  std::function<void()> on_pause;
  std::vector<FakeReader*>* readers = nullptr;
  std::mutex* mu = nullptr;

 private:
  ld::FakeClock fake_;
};

int open_fds() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class TagsmithTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_.readers = &reader_ptrs_;
    clock_.mu = &mu_;
    std::string err;
    ASSERT_TRUE(ld::make_dirs(root_("/sys/bus/usb-serial/devices"), &err)) << err;
    ASSERT_TRUE(ld::make_dirs(root_("/dev"), &err)) << err;
    ASSERT_TRUE(ld::make_dirs(root_("/print"), &err)) << err;
    ld::UniqueFd listener = ld::tcp_listen(0, 10, true, &err);
    ASSERT_TRUE(listener.valid()) << err;
    port_ = ld::local_port(listener.get());
    cfg_ = default_config();
    cfg_.listen_fd = listener.release();
    cfg_.dump_dir = root_.path();
    cfg_.keys = false;
    cfg_.printer_host = "127.0.0.1";
    cfg_.printer_web_port = testkit::free_port();  // nobody answers: reports fail at once
    cfg_.clock = &clock_;
    cfg_.out = out_.get();
    cfg_.err = err_.get();
  }
  void add_readers(int n) {
    for (int i = 0; i < n; ++i) {
      auto r = std::make_unique<FakeReader>();
      r->number = i;
      r->master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      ASSERT_TRUE(r->master.valid());
      ASSERT_EQ(grantpt(r->master.get()), 0);
      ASSERT_EQ(unlockpt(r->master.get()), 0);
      fcntl(r->master.get(), F_SETFL, O_NONBLOCK);
      const std::string name = "ttyUSB" + std::to_string(i);
      ASSERT_EQ(symlink(ptsname(r->master.get()), root_("/dev/" + name).c_str()), 0);
      std::string err;
      ASSERT_TRUE(ld::make_dirs(root_("/sys/bus/usb-serial/devices/" + name), &err));
      reader_ptrs_.push_back(r.get());
      readers_.push_back(std::move(r));
    }
  }
  std::string device(int i) { return root_("/dev/ttyUSB" + std::to_string(i)); }
  // Connects as the printer would.
  void connect_printer() {
    std::string err;
    printer_ = ld::tcp_connect("127.0.0.1", port_, 5000, &err);
    ASSERT_TRUE(printer_.valid()) << err;
  }
  // Sends a message and lets the daemon poll until `want` reply bytes came (or a while passed).
  std::string ask(Tagsmith& d, const std::string& msg, size_t want) {
    EXPECT_EQ(write(printer_.get(), msg.data(), msg.size()), ssize_t(msg.size()));
    std::string got;
    for (int i = 0; i < 300 && got.size() < want; ++i) {
      std::string m;
      d.check_printer(&m);
      char buf[4096];
      if (ld::wait_readable(printer_.get(), 10) == 1) {
        const ssize_t n = read(printer_.get(), buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
      }
    }
    return got;
  }

  testkit::TempRoot root_;
  testkit::CapturedFile out_, err_;
  std::mutex mu_;
  std::vector<std::unique_ptr<FakeReader>> readers_;
  std::vector<FakeReader*> reader_ptrs_;
  AnsweringClock clock_;
  TagsmithConfig cfg_;
  int port_ = 0;
  ld::UniqueFd printer_;
};

const std::string kTag = "300833B2DDD9014000000001";

TEST_F(TagsmithTest, RetriedDiscoveryIsDecidedByTagsAndReleasesEarlierPorts) {
  add_readers(2);
  Tagsmith d(cfg_);
  const int fds_before = open_fds();
  // The printer asks for the status while discovery waits, then puts a label under module 0
  // and asks for a retry.
  std::string status_reply, retry_reply;
  std::thread printer([&] {
    std::string err;
    ld::UniqueFd c = ld::tcp_connect("127.0.0.1", port_, 5000, &err);
    auto exchange = [&c](const std::string& msg, size_t want) {
      std::string got;
      EXPECT_EQ(write(c.get(), msg.data(), msg.size()), ssize_t(msg.size()));
      char buf[512];
      while (got.size() < want && ld::wait_readable(c.get(), 20000) == 1) {
        const ssize_t n = read(c.get(), buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
      }
      return got;
    };
    status_reply = exchange("cmd=status", 42);
    {
      std::lock_guard<std::mutex> lock(mu_);
      readers_[0]->field = {kTag};
    }
    retry_reply = exchange("cmd=retry", 5);
  });
  d.determine_modules();
  printer.join();
  // Undecided: the first module stands in as the entry module, there is no exit module yet.
  EXPECT_EQ(status_reply, "mods=2&conf=0&entry_pwr=01&exit_pwr=00<OK>");
  EXPECT_EQ(retry_reply, std::string("<OK>\0", 5));
  ASSERT_TRUE(d.decided());
  EXPECT_EQ(d.reader()->device, device(0));
  EXPECT_EQ(d.writer()->device, device(1));
  EXPECT_EQ(testkit::slurp(cfg_.modules_file),
            "ENTRY " + device(0) + " 52000000 1\nEXIT " + device(1) + " 52000001 1\n");
  // Three passes opened both ports each time; only the last pass's two stay open (and the
  // printer's connection).
  EXPECT_EQ(open_fds(), fds_before + 3);
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x21), 3);
  EXPECT_EQ(readers_[0]->count(0x40), 1);  // beeper off once decided
  d.flush();
  EXPECT_NE(out_.text().find("could not determine modules 0 0\n"), std::string::npos);
}

TEST_F(TagsmithTest, AFourthDeviceIsLeftOut) {
  add_readers(4);
  Tagsmith d(cfg_);
  EXPECT_TRUE(d.get_modules(1));
  EXPECT_EQ(d.module_count(), 3u);
  d.flush();
  EXPECT_NE(err_.text().find("too many USB serial devices: ttyUSB3 left out\n"), std::string::npos);
  EXPECT_EQ(readers_[3]->frames.size(), 0u);
}

class DecidedTagsmith : public TagsmithTest {
 protected:
  // Decided from the module file: module 1 enters at power 5, module 0 exits at power 0,
  // which is corrected to 1.
  void decide(Tagsmith& d) {
    add_readers(2);
    testkit::spit(cfg_.modules_file, "EXIT " + device(0) + " x 0\nENTRY " + device(1) + " y 5\n");
    d.determine_modules();
    ASSERT_TRUE(d.decided());
    // The beepers' replies are taken by the first pass of the main loop.
    for (auto& r : readers_) r->answer();
    usleep(20000);
    d.main_pass();
    ASSERT_EQ(d.reader()->module_state, IDLE);
    ASSERT_EQ(d.writer()->module_state, IDLE);
    connect_printer();
  }
};

TEST_F(DecidedTagsmith, ModuleFileDecidesCorrectsAndIsRewritten) {
  Tagsmith d(cfg_);
  decide(d);
  EXPECT_EQ(d.reader()->device, device(1));
  EXPECT_EQ(d.writer()->device, device(0));
  EXPECT_EQ(d.get_reader_power(), 5);
  EXPECT_EQ(readers_[1]->frames.back()[2], 0x40);  // beeper off last
  EXPECT_EQ(testkit::slurp(cfg_.modules_file),
            "ENTRY " + device(1) + " 52000001 5\nEXIT " + device(0) + " 52000000 1\n");
  d.flush();
  EXPECT_NE(err_.text().find("Correcting power 0->1\n"), std::string::npos);
  EXPECT_EQ(ask(d, "cmd=status", 42), "mods=2&conf=1&entry_pwr=05&exit_pwr=01<OK>");
}

TEST_F(DecidedTagsmith, WriteForAPrinterIndexGoesToTheExitModuleAndIsReported) {
  Tagsmith d(cfg_);
  decide(d);
  const std::string new_epc = "300833B2DDD901400000000C";
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + new_epc + "&index=12", 5), std::string("<OK>\0", 5));
  EXPECT_EQ(d.writer()->write_slot, 12);
  readers_[0]->answer();
  Bytes want;
  ASSERT_TRUE(ru5202::write_frame(hex_bytes(kTag), 6, hex_bytes(new_epc), 6, &want, nullptr));
  EXPECT_EQ(readers_[0]->frames.back(), want);
  usleep(20000);
  d.main_pass();
  EXPECT_EQ(d.writer()->module_state, IDLE);
  d.flush();
  EXPECT_NE(out_.text().find("url:/job/rfid_wtag_result?state=0&err=0&index=12&epc_len=12&epc=" + new_epc +
                             "\n"),
            std::string::npos);
}

TEST_F(DecidedTagsmith, AWriteForABusyModuleWaitsForItInsteadOfBeingLost) {
  Tagsmith d(cfg_);
  decide(d);
  _set_state(*d.writer(), WAITING_FOR_READ);  // an inventory under way
  const std::string new_epc = "300833B2DDD901400000000C";
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + new_epc + "&index=7", 5), std::string("<OK>\0", 5));
  readers_[0]->answer();
  EXPECT_NE(readers_[0]->frames.back()[2], 0x03);  // nothing sent yet
  EXPECT_EQ(d.pending_writes(), 1u);
  _set_state(*d.writer(), IDLE);  // the inventory's reply is in
  d.main_pass();
  readers_[0]->answer();
  Bytes want;
  ASSERT_TRUE(ru5202::write_frame(hex_bytes(kTag), 6, hex_bytes(new_epc), 6, &want, nullptr));
  EXPECT_EQ(readers_[0]->frames.back(), want);
  EXPECT_EQ(d.writer()->write_slot, 7);
  EXPECT_EQ(d.pending_writes(), 0u);
}

TEST_F(DecidedTagsmith, MessagesAndTheirReplies) {
  Tagsmith d(cfg_);
  decide(d);
  // Acknowledged without a NUL; the power goes out at once to an idle module, and the file
  // follows the new power once the module has answered.
  EXPECT_EQ(ask(d, "cmd=exit_power=7", 4), "<OK>");
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->frames.back(), framed({0x00, 0x2F, 7}));
  usleep(20000);
  d.main_pass();
  EXPECT_EQ(d.get_writer_power(), 7);
  EXPECT_NE(testkit::slurp(cfg_.modules_file).find("EXIT " + device(0) + " 52000000 7\n"), std::string::npos);

  EXPECT_EQ(ask(d, "tag at 100", 5), std::string("<OK>\0", 5));
  EXPECT_EQ(ask(d, "tag at 130", 5), std::string("<OK>\0", 5));
  EXPECT_EQ(d.positions().get_last_pos(), 30);

  EXPECT_EQ(ask(d, "cmd=exit_read", 6), "[]<OK>");
  EXPECT_EQ(ask(d, "cmd=read_modules", 20), "Exit=[],Entry=[]<OK>");
  EXPECT_EQ(ask(d, "write=" + std::string(42, 'A') + "&data=00", 5), std::string("<OK>\0", 5));
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + kTag + "&index=1", 5), std::string("<OK>\0", 5));

  // A message longer than the buffer arrives as pieces, each within it.
  const std::string longer(300, 'x');
  EXPECT_EQ(ask(d, longer, 10), std::string("<OK>\0<OK>\0", 10));

  // setscan: tables cleared, each module reads once on the next pass.
  const size_t entry_frames = readers_[1]->frames.size();
  EXPECT_EQ(ask(d, "cmd=setscan", 42), "mods=2&conf=1&entry_pwr=05&exit_pwr=07<OK>");
  EXPECT_TRUE(d.main_pass());
  readers_[1]->answer();
  ASSERT_GT(readers_[1]->frames.size(), entry_frames);
  EXPECT_EQ(readers_[1]->frames.back(), ru5202::read_frame());

  connect_printer();  // the pass's probe of the unreachable web server closed the connection
  EXPECT_EQ(ask(d, "cmd=Q", 5), std::string("<OK>\0", 5));
  EXPECT_FALSE(d.main_pass());
  d.flush();
  const std::string out = out_.text();
  EXPECT_NE(out.find("invalid write cmd write=AAAA"), std::string::npos);
  EXPECT_NE(out.find("setting writer power to 7\n"), std::string::npos);
}

// No printer message, however far its numbers or fields go, does harm (the sanitizer build runs
// this too): tables dumped while empty, positions at the ends of int, numbers no int holds,
// empty and over-long write fields. Each is answered and the daemon goes on.
TEST_F(DecidedTagsmith, MessagesAtTheEdgesAreAnsweredWithoutHarm) {
  Tagsmith d(cfg_);
  decide(d);
  const std::string ok_nul("<OK>\0", 5);
  struct {
    std::string msg, reply;
  } cases[] = {
      {"cmd=d", ok_nul},  // both tables empty
      {"cmd=l", ok_nul},
      {"tag at -2147483648", ok_nul},
      {"tag at 2147483647", ok_nul},
      {"tag at 99999999999999999999", ok_nul},
      {"cmd=exit_power=99999999999999999999", std::string(kPowerRefused)},
      {"write=&data=&index=-99999999999999999999", ok_nul},
      {"write=" + std::string(40, 'A') + "&data=" + std::string(40, 'A') + "&index=1", ok_nul},
      {"write=" + std::string(41, 'A') + "&data=00", ok_nul},
      {"cmd=", ok_nul},
      {"cmd=s", ok_nul},
  };
  for (const auto& c : cases) EXPECT_EQ(ask(d, c.msg, c.reply.size()), c.reply) << c.msg;
  EXPECT_EQ(d.positions().get_last_pos(), INT_MAX);  // saturated, not overflowed
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x03), 0);  // no write went out
  EXPECT_EQ(testkit::slurp(root_("/exit_tags.data")), "");
  d.flush();
  EXPECT_NE(out_.text().find("url:/job/rfid_wtag_result?state=-2&err=0&index=-2147483648&epc_len=0&epc=\n"),
            std::string::npos) << out_.text();
}

// A power command for a busy module waits for it; values out of range or not numbers are refused
// plainly; a power the module did not take is not shown as set.
TEST_F(DecidedTagsmith, PowerWaitsForABusyModuleAndBadValuesAreRefused) {
  Tagsmith d(cfg_);
  decide(d);
  for (const char* bad : {"cmd=exit_power=0", "cmd=exit_power=31", "cmd=exit_power=-1000000000",
                          "cmd=exit_power=7x", "cmd=entry_power=", "cmd=entry_power=abc"}) {
    EXPECT_EQ(ask(d, bad, 42), std::string(kPowerRefused)) << bad;
  }
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x2F), 1);  // only discovery's
  _set_state(*d.writer(), WAITING_FOR_READ);  // an inventory under way
  EXPECT_EQ(ask(d, "cmd=exit_power=9", 4), "<OK>");
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x2F), 1);
  EXPECT_EQ(d.get_writer_power(), 1);
  _set_state(*d.writer(), IDLE);  // its reply is in
  d.main_pass();
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->frames.back(), framed({0x00, 0x2F, 9}));
  usleep(20000);
  d.main_pass();
  EXPECT_EQ(d.get_writer_power(), 9);
  // A power the module refuses (Status not 0) leaves the old one in the status and the file.
  readers_[1]->write_status = 0;
  EXPECT_EQ(ask(d, "cmd=entry_power=12", 4), "<OK>");
  const Bytes refuse = framed({0x00, 0x2F, 0x0F});
  ASSERT_EQ(write(readers_[1]->master.get(), refuse.data(), refuse.size()), ssize_t(refuse.size()));
  usleep(20000);
  d.main_pass();
  EXPECT_EQ(d.get_reader_power(), 5);
  EXPECT_EQ(ask(d, "cmd=status", 42), "mods=2&conf=1&entry_pwr=05&exit_pwr=09<OK>");
}

// Writes whose EPCs do not fit the frame are refused and reported; a write that waited too long
// for its module is dropped and reported rather than written into another label.
TEST_F(DecidedTagsmith, UnfitAndStaleWritesAreReportedNotSent) {
  Tagsmith d(cfg_);
  decide(d);
  const std::string ok_epc = "300833B2DDD901400000000C";
  for (const std::string& bad : {"write=" + kTag + "&data=3008&index=2", "write=3008&data=" + ok_epc + "&index=2",
                                 "write=" + kTag + "&data=" + ok_epc + "0&index=2"}) {
    EXPECT_EQ(ask(d, bad, 5), std::string("<OK>\0", 5)) << bad;
  }
  _set_state(*d.writer(), WAITING_FOR_READ);
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + ok_epc + "&index=3", 5), std::string("<OK>\0", 5));
  EXPECT_EQ(d.pending_writes(), 1u);
  clock_.advance_ms(kMaxWriteWaitMs + 1);
  _set_state(*d.writer(), IDLE);
  d.main_pass();
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x03), 0);  // nothing written
  EXPECT_EQ(d.pending_writes(), 0u);
  d.flush();
  const std::string out = out_.text();
  EXPECT_EQ(testkit::count_of(out, "url:/job/rfid_wtag_result?state=-2&err=0&index=2&epc_len="), 3) << out;
  EXPECT_NE(out.find("write for index 3 dropped: waited 3001 ms"), std::string::npos) << out;
  EXPECT_NE(out.find("url:/job/rfid_wtag_result?state=-2&err=0&index=3&epc_len=12&epc=" + ok_epc), std::string::npos);
}

// A write still waiting when the printer asks for a new discovery was for the records (and the
// label) of before: it is dropped and reported, never sent by the new exit module.
TEST_F(DecidedTagsmith, AWaitingWriteFromBeforeANewDiscoveryIsReportedNotSent) {
  Tagsmith d(cfg_);
  decide(d);
  const std::string new_epc = "300833B2DDD901400000000C";
  _set_state(*d.writer(), WAITING_FOR_READ);
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + new_epc + "&index=6", 5), std::string("<OK>\0", 5));
  ASSERT_EQ(d.pending_writes(), 1u);
  const std::string retry = "cmd=retry";
  ASSERT_EQ(write(printer_.get(), retry.data(), retry.size()), ssize_t(retry.size()));
  ASSERT_EQ(ld::wait_readable(d.printer().conn_fd(), 5000), 1);
  d.main_pass();  // discovery again, decided from the module file, then the pending write
  ASSERT_TRUE(d.decided());
  EXPECT_EQ(d.pending_writes(), 0u);
  readers_[0]->answer();
  EXPECT_EQ(readers_[0]->count(0x03), 0);  // nothing written
  d.flush();
  const std::string out = out_.text();
  EXPECT_NE(out.find("write for index 6 dropped: asked for before the modules were discovered again\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("url:/job/rfid_wtag_result?state=-2&err=0&index=6&epc_len=12&epc=" + new_epc), std::string::npos);
}

// The status file tells the operator's page the printer connection, both modules and the latest
// tag event; it follows what changes.
TEST_F(DecidedTagsmith, TheStatusFileFollowsTheModulesThePrinterAndTheLatestEvent) {
  std::string err;
  ASSERT_TRUE(ld::make_dirs(root_("/tmp"), &err)) << err;
  cfg_.status_file = root_("/tmp/rfid_status");
  Tagsmith d(cfg_);
  decide(d);
  d.main_pass();  // takes the printer's connection
  std::string text = testkit::slurp(cfg_.status_file);
  EXPECT_EQ(text.rfind("updated=" + std::to_string(clock_.now()) + "\n", 0), 0u) << text;
  EXPECT_EQ(text.substr(text.find('\n') + 1),
            "printer=connected\nentry=RU5202 52000001 5\nexit=RU5202 52000000 1\n") << text;
  const std::string new_epc = "300833B2DDD901400000000C";
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + new_epc + "&index=12", 5), std::string("<OK>\0", 5));
  readers_[0]->answer();
  usleep(20000);
  d.main_pass();
  text = testkit::slurp(cfg_.status_file);
  EXPECT_NE(text.find("\nlast_event=" + std::to_string(clock_.now()) + " write-ok " + new_epc + "\n"),
            std::string::npos) << text;
}

TEST_F(DecidedTagsmith, AModuleWhoseAdapterIsGoneIsClosedNotPolledForEver) {
  Tagsmith d(cfg_);
  decide(d);
  readers_[0]->master.reset();  // the exit module's adapter is unplugged
  d.wait_for_work();
  EXPECT_EQ(d.writer()->port_fd, -1);
  EXPECT_GE(d.reader()->port_fd, 0);
  d.flush();
  EXPECT_NE(err_.text().find("Exit: port " + device(0) + " hung up; closed\n"), std::string::npos) << err_.text();
}

// A connection from another address than the printer's is closed at once and the log names it;
// the printer's own connection is then taken as before.
TEST_F(TagsmithTest, OnlyThePrintersAddressMayConnect) {
  Tagsmith d(cfg_);
  ld::UniqueFd stranger(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
  ASSERT_EQ(bind(stranger.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port_));
  ASSERT_EQ(connect(stranger.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  const std::string msg = "write=" + kTag + "&data=" + kTag;
  ASSERT_EQ(write(stranger.get(), msg.data(), msg.size()), ssize_t(msg.size()));
  std::string m;
  for (int i = 0; i < 50 && d.printer().conn_fd() < 0 && ld::wait_readable(stranger.get(), 0) == 0; ++i) {
    d.check_printer(&m);
    usleep(2000);
  }
  EXPECT_LT(d.printer().conn_fd(), 0);
  char buf[16];
  ASSERT_EQ(ld::wait_readable(stranger.get(), 2000), 1);
  EXPECT_LE(read(stranger.get(), buf, sizeof buf), 0);  // closed unanswered
  d.flush();
  EXPECT_NE(out_.text().find("refused connection from 127.0.0.2: not the printer (127.0.0.1)\n"), std::string::npos)
      << out_.text();
  connect_printer();
  EXPECT_EQ(ask(d, "cmd=status", 42), "mods=0&conf=0&entry_pwr=00&exit_pwr=00<OK>");
}

// A web server that accepts and never answers holds nothing up: the requests wait in a bounded
// queue (the overflow counted and logged) and the printer's messages are answered meanwhile.
TEST_F(TagsmithTest, ASilentWebServerFillsABoundedQueueAndBlocksNothing) {
  std::string err;
  ld::UniqueFd silent = ld::tcp_listen(0, 100, true, &err);  // never accepts, never answers
  cfg_.printer_web_port = ld::local_port(silent.get());
  Tagsmith d(cfg_);
  Epc epc{};
  for (size_t i = 0; i < kMaxWebRequests + 6; ++i) d.new_tag_event(epc);
  EXPECT_EQ(d.web_requests(), kMaxWebRequests);
  connect_printer();
  EXPECT_EQ(ask(d, "cmd=status", 42), "mods=0&conf=0&entry_pwr=00&exit_pwr=00<OK>");
  d.flush();
  EXPECT_NE(out_.text().find("web request queue full (64 waiting): /job/rfid_exittag?st=1&nr=1&dt=0&epc="
                             "000000000000000000000000 dropped, 6 dropped so far\n"),
            std::string::npos) << out_.text();
}

TEST_F(TagsmithTest, WithoutModulesMessagesAreStillAnswered) {
  Tagsmith d(cfg_);
  connect_printer();
  EXPECT_EQ(ask(d, "cmd=status", 42), "mods=0&conf=0&entry_pwr=00&exit_pwr=00<OK>");
  EXPECT_EQ(ask(d, "cmd=entry_read", 6), "[]<OK>");
  EXPECT_EQ(ask(d, "write=" + kTag + "&data=" + kTag, 5), std::string("<OK>\0", 5));
  d.flush();
  EXPECT_NE(out_.text().find("error: no module for tag write"), std::string::npos);
}

}  // namespace
}  // namespace rfid
