// A workstation's connection becomes a stored job: the real jobcatcher, real sockets, jobs from
// the real foo2zjs driver, read back with zjsdecode.
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/fsops.h"
#include "common/net.h"
#include "gtest/gtest.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::bin;
using testkit::slurp;
using testkit::spit;

class Receive : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.install_recording_log_client();
    start_catcher("2");
  }

  void start_catcher(const std::string& idle_timeout) {
    catcher_.reset();
    port_ = testkit::free_port();
    catcher_ = std::make_unique<testkit::Process>(
        std::vector<std::string>{bin("jobcatcher"), "--idle-timeout", idle_timeout},
        std::map<std::string, std::string>{{"LABELDOCK_RECEIVER_PORT", std::to_string(port_)}});
    ASSERT_TRUE(testkit::wait_for_port(port_));
    // wait_for_port's probe is one (empty) connection: let it pass through the loop.
    ASSERT_TRUE(testkit::wait_until([&] { return catcher_->out().find("finished 0") != std::string::npos; }));
  }

  int send(const std::string& file, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{bin("jobsend")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("127.0.0.1:" + std::to_string(port_));
    argv.push_back(file);
    return testkit::run(argv);
  }

  bool stored(const std::string& name) {
    return testkit::wait_until([&] { return ld::file_exists(root_("/print/prns/tmp/" + name)); }, 15000);
  }

  // Pages of a job as the driver's own decoder counts them.
  int zjsdecode_pages(const std::string& path) {
    std::string out;
    testkit::run({"/bin/sh", "-c", "zjsdecode < \"$0\"", path}, &out);
    int n = 0;
    for (size_t p = 0; (p = out.find("ZJT_START_PAGE", p)) != std::string::npos; ++p) ++n;
    return n;
  }

  std::string driver_job(int pages) {
    testkit::DriverJob job = testkit::driver_job(
        testkit::shade_pages(600, 800, std::vector<testkit::Shade>(size_t(pages), testkit::Shade::kGray)));
    EXPECT_TRUE(job.ok()) << job.error;
    return job.bytes;
  }

  testkit::TempRoot root_;
  int port_ = 0;
  std::unique_ptr<testkit::Process> catcher_;
};

TEST_F(Receive, DriverJobIsStoredWithItsPagesAndTheFlag) {
  std::string stream = driver_job(3);
  ASSERT_GT(stream.size(), 100u);
  std::string cap = root_("/job.cap");
  spit(cap, testkit::wrap_capture(stream, "Carton \xC3\xA9tiquette"));
  ASSERT_EQ(send(cap), 0);
  std::string path = root_("/print/prns/tmp/Carton \xC3\xA9tiquette.prn");
  ASSERT_TRUE(stored("Carton \xC3\xA9tiquette.prn")) << catcher_->out() << catcher_->err();
  // The driver wrote a page count item already: the job is stored exactly as sent.
  EXPECT_EQ(slurp(path), stream);
  EXPECT_EQ(zjsdecode_pages(path), 3);
  EXPECT_TRUE(ld::file_exists(root_("/tmp/run_prn2jpg")));
  EXPECT_TRUE(testkit::wait_until([&] {
    return root_.log_client_output().find("writing captured " + path) != std::string::npos;
  }));
  EXPECT_NE(catcher_->out().find("pagecount:3\n"), std::string::npos);
}

TEST_F(Receive, GeneratedJobGetsItsPageCountAndDriverToolsReadIt) {
  std::string cap = root_("/gen.cap");
  testkit::run({bin("zjsgen"), "--pages", "4", "--no-pagecount", "--payload", "5000", "--capture",
                "gen", "-o", cap});
  ASSERT_EQ(send(cap), 0);
  ASSERT_TRUE(stored("gen.prn"));
  std::string out;
  testkit::run({"/bin/sh", "-c", "zjsdecode < \"$0\"", root_("/print/prns/tmp/gen.prn")}, &out);
  EXPECT_NE(out.find("ZJI_PAGECOUNT, 4"), std::string::npos) << out.substr(0, 400);
}

TEST_F(Receive, StalledSenderDoesNotHoldTheReceiver) {
  std::string cap = root_("/a.cap");
  testkit::run({bin("zjsgen"), "--pages", "2", "--capture", "stalled", "-o", cap});
  testkit::Process staller({bin("jobsend"), "--stop-after", "150", "--stall", "30",
                            "127.0.0.1:" + std::to_string(port_), cap});
  std::string cap2 = root_("/b.cap");
  testkit::run({bin("zjsgen"), "--pages", "1", "--capture", "next", "-o", cap2});
  ASSERT_EQ(send(cap2), 0);
  ASSERT_TRUE(stored("next.prn"));
  // The stalled one is let go within its time; what it sent is no job.
  EXPECT_TRUE(testkit::wait_until([&] { return catcher_->err().find("connection closed") != std::string::npos; }));
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/tmp/stalled.prn")));
}

// A sender that is never silent for long but brings almost nothing: the others get through
// while it is still connected.
TEST_F(Receive, TricklingSenderDoesNotHoldBackAnother) {
  start_catcher("60");
  testkit::JobSpec wanted;
  wanted.capture = true;
  wanted.name = "trickle";
  const std::string job = testkit::make_job(wanted);
  std::string err;
  ld::UniqueFd trickler = ld::tcp_connect("127.0.0.1", port_, 5000, &err);
  ASSERT_TRUE(trickler.valid()) << err;
  std::atomic<bool> stop{false};
  std::thread drip([&] {
    for (size_t i = 0; i < job.size() && !stop; ++i) {
      if (!ld::write_all(trickler.get(), job.data() + i, 1)) break;
      testkit::wait_until([&] { return stop.load(); }, 200);
    }
  });
  std::string cap = root_("/other.cap");
  testkit::run({bin("zjsgen"), "--pages", "1", "--capture", "other", "-o", cap});
  EXPECT_EQ(send(cap), 0);
  EXPECT_TRUE(stored("other.prn")) << catcher_->out() << catcher_->err();
  EXPECT_FALSE(ld::file_exists(root_("/print/prns/tmp/trickle.prn")));
  stop = true;
  drip.join();
}

// Workstations whose drivers send at the same moment: every job that the kernel let connect is
// stored, whether the sender waits for the close (jobsend) or writes and closes at once.
TEST_F(Receive, ThirtySimultaneousSendersAreAllStored) {
  constexpr int kSenders = 30;
  std::vector<std::string> jobs;
  for (int i = 0; i < kSenders; ++i) {
    testkit::JobSpec wanted;
    wanted.capture = true;
    wanted.name = "ws" + std::to_string(i);
    wanted.pages = 2;
    wanted.payload = 100000;
    wanted.seed = static_cast<uint32_t>(i + 1);
    jobs.push_back(testkit::make_job(wanted));
    if (i % 2 == 0) spit(root_("/ws" + std::to_string(i) + ".cap"), jobs.back());
  }
  std::vector<std::unique_ptr<testkit::Process>> waiting_senders;
  std::vector<std::thread> closing_senders;
  for (int i = 0; i < kSenders; ++i) {
    if (i % 2 == 0) {
      waiting_senders.push_back(std::make_unique<testkit::Process>(std::vector<std::string>{
          bin("jobsend"), "127.0.0.1:" + std::to_string(port_), root_("/ws" + std::to_string(i) + ".cap")}));
    } else {
      closing_senders.emplace_back([this, &jobs, i] {
        std::string err;
        ld::UniqueFd s = ld::tcp_connect("127.0.0.1", port_, 5000, &err);
        EXPECT_TRUE(s.valid() && ld::write_all(s.get(), jobs[i].data(), jobs[i].size())) << i << err;
      });  // closed at once, as raw-port drivers do
    }
  }
  for (auto& t : closing_senders) t.join();
  for (auto& p : waiting_senders) EXPECT_EQ(p->wait(60000), 0);
  for (int i = 0; i < kSenders; ++i) {
    std::string name = "ws" + std::to_string(i) + ".prn";
    ASSERT_TRUE(stored(name)) << name << "\n" << catcher_->err();
    EXPECT_EQ(ld::file_size(root_("/print/prns/tmp/" + name)), static_cast<int64_t>(jobs[i].size()) - 4 -
                                                                   static_cast<int64_t>(jobs[i].find("JZJZ")));
  }
  EXPECT_EQ(testkit::list_dir(root_("/print/prns/tmp")).size(), static_cast<size_t>(kSenders));
}

TEST_F(Receive, HostileNameRunsNothingAndStaysInPlace) {
  std::string cap = root_("/h.cap");
  std::string name = "$(touch " + root_("/pwned") + ")/../x`id`";
  testkit::JobSpec s;
  s.capture = true;
  s.name = name;
  spit(cap, testkit::make_job(s));
  ASSERT_EQ(send(cap), 0);
  std::string file = "$(touch " + root_("/pwned") + ")_.._x`id`.prn";
  for (char& c : file) if (c == '/') c = '_';
  ASSERT_TRUE(stored(file)) << catcher_->out();
  EXPECT_TRUE(testkit::wait_until([&] {
    return root_.log_client_output().find("capturing [" + name + "]") != std::string::npos;
  }));
  EXPECT_FALSE(ld::file_exists(root_("/pwned")));
}

TEST(ReceiveOptions, IdleTimeoutOutOfRangeIsRefused) {
  testkit::TempRoot root;
  // A port held here: should a value be taken, the program ends at once instead of serving.
  std::string bind_err;
  ld::UniqueFd taken = ld::tcp_listen(0, 1, false, &bind_err);
  ASSERT_TRUE(taken.valid());
  const std::map<std::string, std::string> env{{"LABELDOCK_RECEIVER_PORT", std::to_string(ld::local_port(taken.get()))}};
  for (const char* v : {"0", "-5", "3000000", "12x", ""}) {
    std::string err;
    EXPECT_EQ(testkit::run({bin("jobcatcher"), "--idle-timeout", v}, nullptr, &err, env), 2) << v;
    EXPECT_NE(err.find("usage: jobcatcher"), std::string::npos) << v;
  }
}

TEST(ReceivePort, PortInUseIsAnErrorAtStart) {
  testkit::TempRoot root;
  std::string err;
  ld::UniqueFd taken = ld::tcp_listen(0, 1, false, &err);
  ASSERT_TRUE(taken.valid());
  testkit::Process p({bin("jobcatcher")},
                     {{"LABELDOCK_RECEIVER_PORT", std::to_string(ld::local_port(taken.get()))}});
  EXPECT_EQ(p.wait(5000), 1);
  EXPECT_NE(p.err().find("cannot bind port"), std::string::npos) << p.err();
}

}  // namespace
