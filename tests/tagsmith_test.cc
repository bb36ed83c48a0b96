// The RFID encoder end to end: the real tagsmith finds the reader modules that readersim plays
// on pseudo-terminals, and printersim plays the printer: it sends the command messages from its
// script and its web server receives the tag events and write results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "common/fsops.h"
#include "common/net.h"
#include "rfid/RU5202.h"
#include "rfid/tags.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/sim_readers.h"

namespace {

using testkit::slurp;

const std::string kA = "300833B2DDD9014000000001";
const std::string kB = "300833B2DDD9014000000002";
const std::string kNew = "300833B2DDD901400000000C";

bool file_has(const std::string& path, const std::string& text, int timeout_ms = 60000) {
  return testkit::wait_until([&] { return slurp(path).find(text) != std::string::npos; }, timeout_ms);
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
  std::string s;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02x ", b);
    s += buf;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

class Tagsmith : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    ASSERT_TRUE(ld::make_dirs(root_("/print"), &err)) << err;
    readers_holder_ = std::make_unique<testkit::SimReaders>(root_("/readersim"), models());
    ASSERT_TRUE(readers().ok()) << readers().error();
    ASSERT_TRUE(printer_.ok()) << printer_.error();
  }
  std::string device(int i) { return readers().device(static_cast<size_t>(i)); }
  // Module 0 enters, module 1 exits, as remembered in the module file.
  void remember_modules() {
    testkit::spit(root_("/print/rfid_modules.txt"),
                  "ENTRY " + device(0) + " 52000000 1\nEXIT " + device(1) + " 52000001 1\n");
  }
  // The daemon's fixed pauses (a second each during discovery) are cut short: replies are still
  // waited for up to their deadlines, so only time in which nothing happens goes.
  void start(int web_port = 0) {
    daemon_ = std::make_unique<testkit::Process>(
        std::vector<std::string>{testkit::bin("tagsmith")},
        std::map<std::string, std::string>{
            {"LABELDOCK_RFID_PORT", std::to_string(rfid_port_)},
            {"LABELDOCK_PRINTER_HOST", "127.0.0.1"},
            {"LABELDOCK_PRINTER_WEB_PORT", std::to_string(web_port ? web_port : printer_.web_port())},
            {"LABELDOCK_RFID_PAUSE_MS", "20"}});
  }
  // Waits until discovery has decided (the main loop has started).
  bool decided() { return testkit::wait_until([this] { return daemon_->out().find("main loop ...") != std::string::npos; }, 90000); }
  // Appends messages to the printer's script.
  void say(const std::string& lines) {
    script_ += lines;
    testkit::spit(printer_.dir() + "/rfid_script", script_);
  }
  std::string rfid_log() const { return slurp(printer_.dir() + "/rfid.log"); }
  bool replied(const std::string& line, int timeout_ms = 60000) {
    return file_has(printer_.dir() + "/rfid.log", line + "\n", timeout_ms);
  }
  bool requested(const std::string& text, int timeout_ms = 60000) {
    return file_has(printer_.dir() + "/requests.log", text, timeout_ms);
  }
  std::string diag() { return "daemon:\n" + daemon_->out() + daemon_->err() + "\nprinter:\n" + rfid_log() + "\nrequests:\n" + slurp(printer_.dir() + "/requests.log") + "\nreaders:\n" + readers().log(); }

  testkit::TempRoot root_;
  int rfid_port_ = testkit::free_port();
  virtual std::vector<std::string> models() const { return {"ru5202", "ru5202"}; }
  std::unique_ptr<testkit::SimReaders> readers_holder_;
  testkit::SimReaders& readers() { return *readers_holder_; }
  testkit::SimPrinter printer_{root_("/printer"), {"--rfid-port", std::to_string(rfid_port_)}};
  std::unique_ptr<testkit::Process> daemon_;
  std::string script_;
};

TEST_F(Tagsmith, DiscoveryDecidedByTheModuleThatSeesTagsAndRemembered) {
  ASSERT_TRUE(readers().control("ttyUSB0 field " + kA + "\n"));
  start();
  ASSERT_TRUE(decided()) << diag();
  EXPECT_EQ(slurp(root_("/print/rfid_modules.txt")),
            "ENTRY " + device(0) + " 52000000 1\nEXIT " + device(1) + " 52000001 1\n");
  say("cmd=status\n");
  EXPECT_TRUE(replied("reply mods=2&conf=1&entry_pwr=01&exit_pwr=01<OK>")) << diag();
  EXPECT_TRUE(readers().log_has("ttyUSB1 power 1"));
  EXPECT_TRUE(readers().log_has_prefix("ttyUSB0 beeper"));
}

TEST_F(Tagsmith, LabelsPassingAreReportedNewLostAndRefound) {
  remember_modules();
  // The modules answer after a pause, as real ones take their time over an inventory.
  ASSERT_TRUE(readers().control("ttyUSB0 delay 20\nttyUSB1 delay 20\nttyUSB0 field " + kB + " " + kA + "\n"));
  start();
  ASSERT_TRUE(decided()) << diag();
  // A new scan (each module reads once, silently), the tables cleared once those reads are in,
  // two label positions, then reports on and inventories on both modules from now on.
  say("cmd=setscan\npause 500\ncmd=C\ntag at 100\ntag at 130\ncmd=I\n");
  EXPECT_TRUE(replied("reply mods=2&conf=1&entry_pwr=01&exit_pwr=01<OK>")) << diag();
  EXPECT_TRUE(requested("GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=" + kA + " HTTP/1.0")) << diag();
  EXPECT_TRUE(requested("GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=" + kB + " HTTP/1.0"));
  // The label's entry holds the position of the latest report: 130 - 100.
  say("cmd=s\ncmd=I\n");  // a listing, then inventories again
  const std::string row = ") : " + std::string("300833b2ddd9014000000001");
  ASSERT_TRUE(testkit::wait_until([&] { return daemon_->out().find(row) != std::string::npos; })) << diag();
  const std::string out = daemon_->out();
  const size_t at = out.find(row);
  EXPECT_NE(out.substr(at, out.find('\n', at) - at).find("     30 "), std::string::npos)
      << out.substr(at, out.find('\n', at) - at);

  // The label moves on to the exit module: lost at the entry (with its reads and the time since
  // it was last seen), new at the exit.
  ASSERT_TRUE(readers().control("ttyUSB0 delay 20\nttyUSB1 delay 20\nttyUSB0 field " + kB + "\nttyUSB1 field " + kA + "\n"));
  EXPECT_TRUE(requested("GET /job/rfid_ntag?st=0&nr=")) << diag();
  EXPECT_TRUE(requested("GET /job/rfid_exittag?st=1&nr=0&dt=0&epc=" + kA + " HTTP/1.0")) << diag();
  const std::string requests = slurp(printer_.dir() + "/requests.log");
  const size_t lost = requests.find("GET /job/rfid_ntag?st=0&nr=");
  ASSERT_NE(lost, std::string::npos);
  EXPECT_NE(requests.find("&epc=" + kA + " HTTP/1.0", lost), std::string::npos);

  // Back under the entry module, more than two cycles later: refound, reported once more.
  // (Back within two cycles it would count as never gone.)
  const int cycles = readers().log_count("ttyUSB0 inventory");
  ASSERT_TRUE(testkit::wait_until([&] { return readers().log_count("ttyUSB0 inventory") >= cycles + 5; }, 60000));
  ASSERT_TRUE(readers().control("ttyUSB0 delay 20\nttyUSB1 delay 20\nttyUSB0 field " + kB + " " + kA + "\n"));
  EXPECT_TRUE(testkit::wait_until([&] {
    return testkit::count_of(slurp(printer_.dir() + "/requests.log"),
                             "GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=" + kA + " HTTP/1.0") == 2;
  }, 60000)) << diag();
}

TEST_F(Tagsmith, WriteForAPrinterIndexIsSentAndItsResultReported) {
  remember_modules();
  start();
  ASSERT_TRUE(decided()) << diag();
  say("write=" + kA + "&data=" + kNew + "&index=12\n");
  EXPECT_TRUE(replied("reply <OK>\\x00")) << diag();
  std::vector<uint8_t> frame, old_epc, new_epc;
  rfid::hex2byte(kA, &old_epc);
  rfid::hex2byte(kNew, &new_epc);
  ASSERT_TRUE(rfid::ru5202::write_frame(old_epc, 6, new_epc, 6, &frame, nullptr));
  EXPECT_TRUE(readers().log_has("ttyUSB1 rx " + hex_of(frame))) << diag();
  EXPECT_TRUE(requested("GET /job/rfid_wtag_result?state=0&err=0&index=12&epc_len=12&epc=" + kNew +
                        " HTTP/1.0")) << diag();
}

TEST_F(Tagsmith, AFailingWriteIsSentFourTimesAndEachResultReported) {
  remember_modules();
  ASSERT_TRUE(readers().control("ttyUSB1 write FC:0B FC:0B FC:0B FC:0B\n"));
  start();
  ASSERT_TRUE(decided()) << diag();
  say("write=" + kA + "&data=" + kNew + "&index=3\n");
  const std::string result = "GET /job/rfid_wtag_result?state=252&err=11&index=3&epc_len=12&epc=" + kNew;
  EXPECT_TRUE(testkit::wait_until([&] {
    return testkit::count_of(slurp(printer_.dir() + "/requests.log"), result) == 4;
  }, 60000)) << diag();
  EXPECT_EQ(readers().log_count("ttyUSB1 write fail"), 4) << readers().log();
}

TEST_F(Tagsmith, PowerMessageIsAcknowledgedThenSetAndRemembered) {
  remember_modules();
  start();
  ASSERT_TRUE(decided()) << diag();
  say("cmd=exit_power=7\n");
  EXPECT_TRUE(replied("reply <OK>")) << diag();
  EXPECT_TRUE(readers().log_has("ttyUSB1 power 7")) << diag();
  EXPECT_TRUE(file_has(root_("/print/rfid_modules.txt"), "EXIT " + device(1) + " 52000001 7\n")) << diag();
  say("cmd=status\n");
  EXPECT_TRUE(replied("reply mods=2&conf=1&entry_pwr=01&exit_pwr=07<OK>")) << diag();
}

TEST_F(Tagsmith, ThePrinterDropsReconnectsAndEndsTheDaemon) {
  remember_modules();
  start();
  ASSERT_TRUE(decided()) << diag();
  say("cmd=entry_read\ndrop\ncmd=exit_read\n");
  EXPECT_TRUE(file_has(printer_.dir() + "/rfid.log", "drop\nconnect\nsend cmd=exit_read\nreply []<OK>\n")) << diag();
  EXPECT_TRUE(testkit::wait_until([&] { return daemon_->out().find("connection closed") != std::string::npos; }));
  say("Q\n");
  EXPECT_EQ(daemon_->wait(60000), 0) << diag();
  EXPECT_NE(daemon_->out().find("exitting\n"), std::string::npos);
  EXPECT_TRUE(replied("closed by appliance")) << diag();
}

TEST_F(Tagsmith, AnUnreachableWebServerClosesTheCommandConnectionOnly) {
  remember_modules();
  start(testkit::free_port());
  ASSERT_TRUE(decided()) << diag();
  say("cmd=status\n");
  // Answered or not, the connection is closed by the failed probe.
  EXPECT_TRUE(testkit::wait_until([&] { return rfid_log().find("closed") != std::string::npos; }, 60000)) << diag();
  EXPECT_NE(daemon_->err().find("ERROR - cannot connect to printer\n"), std::string::npos);
  EXPECT_TRUE(daemon_->running());
  // It keeps listening: the printer connects again and is answered.
  say("cmd=status\n");
  EXPECT_TRUE(testkit::wait_until([&] { return testkit::count_of(rfid_log(), "reply mods=2") >= 1; }, 60000)) << diag();
}

}  // namespace

namespace {

TEST_F(Tagsmith, TheModuleFileDecidesItsPowerZeroIsCorrectedAndRewritten) {
  testkit::spit(root_("/print/rfid_modules.txt"),
                "ENTRY " + device(0) + " x 5\nEXIT " + device(1) + " y 0\n");
  start();
  ASSERT_TRUE(decided()) << diag();
  EXPECT_TRUE(readers().log_has("ttyUSB0 power 5")) << diag();
  EXPECT_TRUE(file_has(root_("/print/rfid_modules.txt"),
                       "ENTRY " + device(0) + " 52000000 5\nEXIT " + device(1) + " 52000001 1\n")) << diag();
  EXPECT_NE(daemon_->err().find("Correcting power 0->1\n"), std::string::npos);
}

class TagsmithOneModule : public Tagsmith {
 protected:
  std::vector<std::string> models() const override { return {"ru5202"}; }
};

TEST_F(TagsmithOneModule, WaitsForRetryAndTellsItIsNotConfigured) {
  ASSERT_TRUE(readers().control("ttyUSB0 field " + kA + "\n"));
  start();
  EXPECT_TRUE(testkit::wait_until([&] { return daemon_->out().find("check printer") != std::string::npos; }, 90000))
      << diag();
  say("cmd=status\n");
  EXPECT_TRUE(replied("reply mods=1&conf=0&entry_pwr=01&exit_pwr=00<OK>")) << diag();
  // A retry runs discovery again: the port is opened once more.
  say("cmd=retry\n");
  EXPECT_TRUE(replied("reply <OK>\\x00")) << diag();
  EXPECT_TRUE(testkit::wait_until([&] { return readers().log_count("ttyUSB0 info") >= 3; }, 90000)) << diag();
}

class TagsmithWithAnRu5102 : public Tagsmith {
 protected:
  std::vector<std::string> models() const override { return {"ru5102", "ru5202"}; }
};

TEST_F(TagsmithWithAnRu5102, RecognisedFromItsInformationAndReadAsOne) {
  remember_modules();
  ASSERT_TRUE(readers().control("ttyUSB0 delay 20\nttyUSB1 delay 20\nttyUSB0 field " + kA + "\n"));
  start();
  ASSERT_TRUE(decided()) << diag();
  EXPECT_NE(daemon_->out().find("reassigning module to RU5102"), std::string::npos);
  say("cmd=setscan\ncmd=I\n");
  EXPECT_TRUE(requested("GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=" + kA + " HTTP/1.0")) << diag();
  EXPECT_TRUE(readers().log_has_prefix("ttyUSB0 rx 04 00 01 db 4b")) << diag();  // the RU5102 inventory
}

}  // namespace

namespace {

// Each fault a reader line can show ends the command within the reply deadline, and the module
// reads again at the next cycle: the inventories after the faults are answered and used.
TEST_F(Tagsmith, FaultyRepliesEndTheCommandAndTheNextCycleReads) {
  remember_modules();
  start();
  ASSERT_TRUE(decided()) << diag();
  ASSERT_TRUE(readers().control("ttyUSB1 field " + kA + "\nttyUSB1 reply cut:3 late:700 split:2:600 badcrc long:4 lost "
                                "raw:02ff00\n"));
  say("cmd=B\n");  // continuous inventories on both modules
  ASSERT_TRUE(testkit::wait_until([&] { return readers().log_count("ttyUSB1 inventory") >= 12; }, 60000)) << diag();
  const std::string out = daemon_->out();
  for (const char* why : {"Exit: ERROR reply cut short after 3 bytes (state 1)",
                                 "Exit: ERROR no reply within 500 ms (state 1)",
                                 "Exit: ERROR reply cut short after 2 bytes (state 1)",
                                 "Exit: ERROR reply CRC mismatch (state 1)",
                                 "Exit: ERROR garbage on the line (length byte 2)",
                                 "Exit: 4 bytes nobody waited for dropped"}) {
    EXPECT_NE(out.find(why), std::string::npos) << why << "\n" << diag();
  }
  // Late bytes were never taken as a reply: no length or CRC complaint about them.
  EXPECT_EQ(out.find("length byte 238"), std::string::npos);
  // And the module goes on: a write now is sent and its success reported.
  say("cmd=q\nwrite=" + kA + "&data=" + kNew + "&index=4\n");
  EXPECT_TRUE(requested("GET /job/rfid_wtag_result?state=0&err=0&index=4&epc_len=12&epc=" + kNew)) << diag();
}

// A write whose reply is lost is reported failed and sent once more after the quiet time.
TEST_F(Tagsmith, AWriteWhoseReplyIsLostIsResent) {
  remember_modules();
  start();
  ASSERT_TRUE(decided()) << diag();
  ASSERT_TRUE(readers().control("ttyUSB1 reply lost\n"));
  say("write=" + kA + "&data=" + kNew + "&index=5\n");
  EXPECT_TRUE(requested("GET /job/rfid_wtag_result?state=-1&err=0&index=5&epc_len=12&epc=" + kNew)) << diag();
  EXPECT_TRUE(requested("GET /job/rfid_wtag_result?state=0&err=0&index=5&epc_len=12&epc=" + kNew)) << diag();
  EXPECT_EQ(readers().log_count("ttyUSB1 write ok"), 1);
}

// More than 14 tags in the field: the reply is longer than the module record holds; the 14 tags
// that fit are kept and reported, and the module reads on.
TEST_F(Tagsmith, AnOverlongInventoryKeepsTheTagsThatFit) {
  remember_modules();
  std::string field;
  for (int i = 0; i < 15; ++i) {
    char epc[32];
    std::snprintf(epc, sizeof epc, " 300833B2DDD90140000001%02X", i);
    field += epc;
  }
  ASSERT_TRUE(readers().control("ttyUSB0 field" + field + "\n"));
  start();
  ASSERT_TRUE(decided()) << diag();
  say("cmd=C\ncmd=M\ncmd=R\n");  // tables cleared, reports on, continuous entry inventories
  EXPECT_TRUE(requested("GET /job/rfid_ntag?st=1&nr=0&dt=0&epc=300833B2DDD901400000010D HTTP/1.0")) << diag();
  EXPECT_TRUE(testkit::wait_until([&] { return readers().log_count("ttyUSB0 inventory") >= 5; }, 60000));
  EXPECT_NE(daemon_->out().find("Entry: ERROR inventory reply of 218 bytes: 14 of 15 tags kept"), std::string::npos)
      << diag();
  EXPECT_EQ(slurp(printer_.dir() + "/requests.log").find("epc=300833B2DDD901400000010E"), std::string::npos);
}

}  // namespace

namespace {

// A web server that accepts and never answers: each tag report waits out its 6 s limit in turn,
// while the printer's messages are answered at once and the modules go on reading.
TEST_F(Tagsmith, ASilentWebServerDoesNotHoldUpThePrinter) {
  std::string err;
  ld::UniqueFd silent = ld::tcp_listen(0, 100, true, &err);
  ASSERT_TRUE(silent.valid()) << err;
  remember_modules();
  std::string field;
  for (int i = 0; i < 5; ++i) field += " 300833B2DDD90140000002" + std::string(1, '0') + std::to_string(i);
  ASSERT_TRUE(readers().control("ttyUSB0 field" + field + "\n"));
  start(ld::local_port(silent.get()));
  ASSERT_TRUE(decided()) << diag();
  say("cmd=C\ncmd=M\ncmd=R\n");
  ASSERT_TRUE(testkit::wait_until([&] { return daemon_->out().find("Entry: new tag 5") != std::string::npos; }, 30000))
      << diag();
  // Five reports are queued behind each other (30 s of waiting); the printer is answered now.
  say("cmd=status\n");
  EXPECT_TRUE(replied("reply mods=2&conf=1&entry_pwr=01&exit_pwr=01<OK>", 4000)) << diag();
  const int reads = readers().log_count("ttyUSB0 inventory");
  EXPECT_TRUE(testkit::wait_until([&] { return readers().log_count("ttyUSB0 inventory") > reads + 3; }, 4000));
}

}  // namespace
