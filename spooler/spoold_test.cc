#include "spooler/spoold.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "spooler/print_settings.h"
#include "testkit/capture.h"
#include "testkit/queue_capture.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"

namespace spooler {

namespace {

using testkit::slurp;
using testkit::spit;

TEST(SpoolNames, PrnPathAndFilterArguments) {
  EXPECT_EQ(spooled_path("/print/printq/job_0.spl"), "/print/printq/job_0.prn");
  EXPECT_EQ(spooled_path("ab"), "ab");
  queue_record r;
  set_record_text(r.path, "/print/printq/job_0.spl");
  r.from = 2, r.to = 3, r.copies = 4, r.collate = 1, r.quality = 5, r.disp = 6, r.ntags = 2;
  r.tags[0] = {0x8000, 7};
  r.tags[1] = {6, -1};
  r.tags[2] = {9, 9};  // beyond ntags
  prnfilt_args a = spool_args(r);
  EXPECT_EQ(a.input, "/print/printq/job_0.spl");
  EXPECT_EQ(a.output, "/print/printq/job_0.spl.tmp");
  EXPECT_EQ(std::vector<int>({a.from, a.to, a.copies, a.collate, a.quality, a.disp}),
            std::vector<int>({2, 3, 4, 1, 5, 6}));
  ASSERT_EQ(a.overrides.size(), 2u);
  EXPECT_EQ(a.overrides[0].id, 0x8000u);
  EXPECT_EQ(a.overrides[1].value, -1);
}

// A clock whose sleeps cost nothing and can run a hook.
class HookClock : public ld::Clock {
 public:
  time_t now() override { return ::time(nullptr); }
  void sleep_ms(long) override {
    ++sleeps;
    if (on_sleep) on_sleep(sleeps);
  }
  std::function<void(int)> on_sleep;
  int sleeps = 0;
};

class SpoolPass : public testing::Test {
 protected:
  void SetUp() override { root_.install_recording_log_client(); }

  std::string q(const std::string& name) { return printq_dir() + name; }
  // Queues a copy holding `data` (nothing written when data is empty).
  void add(const std::string& name, const std::string& data, int from = 1, int to = 1) {
    if (!data.empty()) spit(q(name), data);
    queue_record r;
    r.from = from;
    r.to = to;
    r.copies = 1;
    err_.take();
    ASSERT_EQ(add_to_queue(cfg_, q(name), name, r), 1);
    err_.take();
  }
  std::vector<queue_record> queue() {
    err_.take();
    std::vector<queue_record> r = get_printq(cfg_);
    err_.take();
    return r;
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const queue_record& r : queue()) out.push_back(ld::base_name(r.path) + (r.spooled ? "+" : ""));
    return out;
  }
  std::string pass(std::string* err = nullptr) {
    out_.take();
    err_.take();
    EXPECT_EQ(spoold_pass(cfg_), 1);
    std::string e = err_.take();
    if (err) *err = e;
    return out_.take();
  }
  static std::string job(int pages) {
    testkit::JobSpec s;
    s.pages = pages;
    s.payload = 3000;
    return testkit::make_job(s);
  }

  testkit::TempRoot root_;
  HookClock clock_;
  testkit::QueueCapture io_{&clock_};
  Config& cfg_ = io_.cfg;
  testkit::CapturedFile& out_ = io_.out;
  testkit::CapturedFile& err_ = io_.err;
};

TEST_F(SpoolPass, FiltersEveryCopyAndDropsTheHopelessOnes) {
  const std::string three = job(3);
  add("a_0.spl", three, 2, 3);
  add("missing_0.spl", "");
  add("junk_0.spl", "not a job at all");
  add("beyond_0.spl", three, 5, 5);
  add("b_0.spl", three, 1, 1);
  std::string err;
  std::string out = pass(&err);

  EXPECT_EQ(names(), (std::vector<std::string>{"a_0.prn+", "b_0.prn+"})) << out << err;
  // What the filter makes of the same copy is what the queue now names.
  std::string expect_a = root_("/expect_a.prn");
  spit(root_("/in.prn"), three);
  int32_t flag = 0;
  err_.take();
  ASSERT_EQ(prnfilt({root_("/in.prn"), expect_a, 1, 0, 2, 3, 0, 0, {}}, &flag, err_.get()), 3);
  err_.take();
  EXPECT_TRUE(slurp(q("a_0.prn")) == slurp(expect_a));
  for (const char* gone : {"a_0.spl", "a_0.spl.tmp", "missing_0.spl", "junk_0.spl", "beyond_0.spl", "b_0.spl"})
    EXPECT_FALSE(ld::file_exists(q(gone))) << gone;

  const std::string a = q("a_0.spl");
  EXPECT_NE(out.find("a_0 needs spooling\nfrom=2 to=3 copy=1 col=0 disp=0 qual=0 tags=0\n" + a + " -> " + a +
                     ".tmp\n/bin/mv " + a + ".tmp " + q("a_0.prn") + "\n/bin/rm " + a + "\n"),
            std::string::npos)
      << out;
  for (const char* why : {"missing_0.spl cannot be filtered", "junk_0.spl cannot be filtered",
                          "beyond_0.spl has none of the selected pages"})
    EXPECT_NE(err.find(std::string(why) + ", removed from the print queue\n"), std::string::npos) << why << err;
  std::string log = root_.log_client_output();
  EXPECT_NE(log.find("print job junk_0 removed from the print queue: it cannot be filtered\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("print job beyond_0 removed from the print queue: it has none of the selected pages\n"),
            std::string::npos)
      << log;
}

// A copy cut inside a chunk is never marked spooled (the sender would print a cut job) nor kept
// waiting, which would hold up every job behind it: it is dropped like any unfilterable copy.
TEST_F(SpoolPass, ACutJobIsDroppedAndTheOthersAreSpooled) {
  const std::string three = job(3);
  add("cut_0.spl", three.substr(0, three.size() / 2), 1, 3);
  add("b_0.spl", three, 1, 3);
  std::string err;
  pass(&err);
  EXPECT_EQ(names(), (std::vector<std::string>{"b_0.prn+"})) << err;
  EXPECT_NE(err.find("cut_0.spl cannot be filtered, removed from the print queue\n"), std::string::npos) << err;
  for (const char* gone : {"cut_0.spl", "cut_0.spl.tmp", "cut_0.prn"}) EXPECT_FALSE(ld::file_exists(q(gone))) << gone;
}

TEST_F(SpoolPass, OverridesAndTagLines) {
  add("t_0.spl", job(1));
  std::vector<queue_record> rs = queue();
  queue_record r = rs[0];
  r.ntags = 2;
  r.tags[0] = {0x8001, 3};
  r.tags[1] = {0x10, 42};
  r.copies = 3;
  r.collate = 1;
  err_.take();
  ASSERT_EQ(printq_update_record(cfg_, rs[0], r), 1);
  err_.take();
  std::string out = pass();
  EXPECT_NE(out.find("from=1 to=1 copy=3 col=1 disp=0 qual=0 tags=2\n0: 8001=3\n1: 10=42\n"), std::string::npos)
      << out;
  ASSERT_EQ(names(), std::vector<std::string>{"t_0.prn+"});
  EXPECT_EQ(queue()[0].copies_sent, 0);
}

// A record asking for more copies than a print may have (a damaged file, a tool) is filtered
// with the bound, and its record says so afterwards: the sender sends a one-set file exactly as
// often as the filter was told, never two thousand million times.
TEST_F(SpoolPass, CopiesBeyondTheBoundAreFilteredAndRecordedAtIt) {
  add("c_0.spl", job(1));
  std::vector<queue_record> rs = queue();
  queue_record r = rs[0];
  r.copies = 2147483647;
  r.send_copies = 1;
  ASSERT_EQ(printq_update_record(cfg_, rs[0], r), 1);
  std::string out = pass();
  EXPECT_NE(out.find("copy=" + std::to_string(kPrintCopiesMax) + " "), std::string::npos) << out;
  ASSERT_EQ(names(), std::vector<std::string>{"c_0.prn+"});
  EXPECT_EQ(queue()[0].copies, kPrintCopiesMax);
}

TEST_F(SpoolPass, AFailureThatMayPassEndsThePassAndKeepsTheJob) {
  add("a_0.spl", job(1));
  add("b_0.spl", job(1));
  // The output cannot be created: a folder stands where it would go.
  ASSERT_TRUE(ld::make_dirs(q("a_0.spl.tmp")));
  std::string err;
  pass(&err);
  EXPECT_EQ(names(), (std::vector<std::string>{"a_0.spl", "b_0.spl"})) << err;
  // The copy is fine: the message names the output that could not be written, and why.
  EXPECT_NE(err.find("spoold: cannot write " + q("a_0.spl.tmp") + ": Is a directory; " + q("a_0.spl") +
                     " waits for the next pass\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("Cannot read input file"), std::string::npos) << err;
  EXPECT_TRUE(ld::file_exists(q("a_0.spl")));
  EXPECT_EQ(root_.log_client_output(), "");

  ASSERT_EQ(::rmdir(q("a_0.spl.tmp").c_str()), 0);
  // The queue cannot be rewritten after the filter: the ".prn" is taken back, the copy stays.
  const std::string blocker = printq_filename() + ".tmp" + std::to_string(::getpid());
  ASSERT_TRUE(ld::make_dirs(blocker));
  pass(&err);
  EXPECT_EQ(names(), (std::vector<std::string>{"a_0.spl", "b_0.spl"})) << err;
  EXPECT_TRUE(ld::file_exists(q("a_0.spl")));
  EXPECT_FALSE(ld::file_exists(q("a_0.prn")));
  EXPECT_FALSE(ld::file_exists(q("a_0.spl.tmp")));
  EXPECT_NE(err.find("the queue does not take " + q("a_0.prn") + " now: cannot write " + printq_filename() +
                     ": Is a directory; it waits for the next pass\n"),
            std::string::npos)
      << err;

  ASSERT_EQ(::rmdir(blocker.c_str()), 0);
  pass();
  EXPECT_EQ(names(), (std::vector<std::string>{"a_0.prn+", "b_0.prn+"}));
}

TEST_F(SpoolPass, ALiveLockIsWaitedForAndNeverRemoved) {
  add("a_0.spl", job(1));
  // A lock held by a running program (this one).
  const std::string lock_text = "jobdesk " + std::to_string(::getpid()) + ":Thu Jan  1 00:00:00 1970\n\n";
  spit(queue_lock(), lock_text);
  std::string err;
  pass(&err);
  EXPECT_EQ(slurp(queue_lock()), lock_text);
  EXPECT_NE(err.find("spoold: no queue lock, nothing spooled in this pass\n"), std::string::npos) << err;
  EXPECT_EQ(clock_.sleeps, 5 * kSpoolLockTries);
  EXPECT_EQ(names(), std::vector<std::string>{"a_0.spl"});

  // The holder lets go while spoold waits: the pass goes on.
  clock_.sleeps = 0;
  clock_.on_sleep = [&](int n) {
    if (n == 7) ::unlink(queue_lock().c_str());
  };
  pass(&err);
  EXPECT_EQ(names(), std::vector<std::string>{"a_0.prn+"}) << err;
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

}  // namespace

}  // namespace spooler
