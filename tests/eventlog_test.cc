// The event log road: programs hand their event text to the log client, which delivers it to
// eventlogd, which appends it to the day file of its tag. Real programs on loopback ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "common/fsops.h"
#include "common/net.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::bin;

class EventLogRoad : public ::testing::Test {
 protected:
  EventLogRoad() : port_(testkit::free_port()) {
    env_ = {{"LABELDOCK_EVENTLOG_PORT", std::to_string(port_)}};
  }
  void start_server(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {bin("eventlogd")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = std::make_unique<testkit::Process>(argv, env_);
    ASSERT_TRUE(testkit::wait_for_port(port_));
  }
  int log(const std::string& text, std::vector<std::string> args = {}, std::string* err = nullptr) {
    std::vector<std::string> argv = {bin("log_client")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testkit::run(argv, nullptr, err, env_, text);
  }
  // Every day file of the tag, in name order.
  std::string day_files(const std::string& tag) {
    std::string all;
    for (const std::string& n : testkit::list_dir(root_("/print/log")))
      if (n.rfind(tag + "_", 0) == 0) all += testkit::slurp(root_("/print/log/") + n);
    return all;
  }
  bool logged(const std::string& tag, const std::string& text) {
    return testkit::wait_until([&] { return day_files(tag).find(text) != std::string::npos; }, 10000);
  }

  testkit::TempRoot root_;
  int port_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<testkit::Process> server_;
};

TEST_F(EventLogRoad, EveryLineReachesTheDayFileOfItsTag) {
  start_server();
  ASSERT_EQ(log("printer started\nsecond line\r\nlast without a line feed", {"--tag", "sys"}), 0);
  ASSERT_EQ(log("job received\n"), 0);  // the default tag
  ASSERT_TRUE(logged("sys", "last without a line feed\r\n"));
  ASSERT_TRUE(logged("ui", "job received\r\n"));
  EXPECT_TRUE(std::regex_match(day_files("sys"),
                               std::regex("\\d\\d:\\d\\d:\\d\\d,printer started\r\n"
                                          "\\d\\d:\\d\\d:\\d\\d,second line\r\n"
                                          "\\d\\d:\\d\\d:\\d\\d,last without a line feed\r\n")))
      << day_files("sys");
  std::regex day_name("(sys|ui)_\\d{4}-\\d\\d-\\d\\d\\.log");
  for (const std::string& n : testkit::list_dir(root_("/print/log"))) EXPECT_TRUE(std::regex_match(n, day_name)) << n;
}

TEST_F(EventLogRoad, TagsThatAreNoPlainNameAreRefused) {
  start_server();
  ASSERT_EQ(log("escape\n", {"--tag", "../../escaped"}), 0);
  ASSERT_EQ(log("fine\n", {"--tag", "ok"}), 0);
  ASSERT_TRUE(logged("ok", "fine"));
  EXPECT_NE(server_->out().find("inavlid tag so ignore [../../escaped]\n"), std::string::npos) << server_->out();
  EXPECT_EQ(testkit::list_dir(root_.path()),
            (std::vector<std::string>{"home", "print", "tmp", "var"}));
  EXPECT_EQ(testkit::list_dir(root_("/print/log")).size(), 1u);
}

TEST_F(EventLogRoad, AStalledClientHoldsUpNoOneAndItsLineIsKept) {
  start_server();
  std::string err;
  ld::UniqueFd stalled = ld::tcp_connect("127.0.0.1", port_, 2000, &err);
  ASSERT_TRUE(stalled.valid()) << err;
  ASSERT_TRUE(ld::write_all(stalled.get(), "ui,half of a line", 17));
  std::string lines;
  for (int i = 0; i < 200; ++i) lines += "line " + std::to_string(i) + "\n";
  ASSERT_EQ(log(lines), 0);
  ASSERT_TRUE(logged("ui", "line 199\r\n"));
  EXPECT_EQ(day_files("ui").find("half"), std::string::npos);
  stalled.reset();
  EXPECT_TRUE(logged("ui", "half of a line\r\n"));
}

TEST_F(EventLogRoad, AnIdleClientIsLetGo) {
  start_server({"--idle-timeout", "1"});
  std::string err;
  ld::UniqueFd idle = ld::tcp_connect("127.0.0.1", port_, 2000, &err);
  ASSERT_TRUE(idle.valid()) << err;
  ASSERT_TRUE(ld::write_all(idle.get(), "ui,idle", 7));
  EXPECT_TRUE(logged("ui", "idle\r\n"));
  ASSERT_EQ(ld::wait_readable(idle.get(), 10000), 1);
  char b;
  EXPECT_EQ(::read(idle.get(), &b, 1), 0);
}

TEST_F(EventLogRoad, APortInUseIsReported) {
  start_server();
  testkit::Process second({bin("eventlogd")}, env_);
  EXPECT_EQ(second.wait(10000), 1);
  EXPECT_NE(second.err().find("ERROR eventlogd: cannot bind port " + std::to_string(port_)), std::string::npos)
      << second.err();
}

TEST_F(EventLogRoad, TheJobReceiverLogsThroughTheClient) {
  ASSERT_EQ(::symlink(bin("log_client").c_str(), root_("/home/pi/log_client").c_str()), 0);
  start_server();
  int receiver_port = testkit::free_port();
  env_["LABELDOCK_RECEIVER_PORT"] = std::to_string(receiver_port);
  testkit::Process receiver({bin("jobcatcher")}, env_);
  ASSERT_TRUE(testkit::wait_for_port(receiver_port));
  testkit::JobSpec gen;
  gen.pages = 2;
  gen.capture = true;
  gen.name = "Pallet tags";
  testkit::spit(root_("/job.cap"), testkit::make_job(gen));
  ASSERT_EQ(testkit::run({bin("jobsend"), "127.0.0.1:" + std::to_string(receiver_port), root_("/job.cap")}), 0);
  EXPECT_TRUE(logged("ui", "pages 2")) << day_files("ui") << receiver.out();
}

}  // namespace
