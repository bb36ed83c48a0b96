// A queued job against the things that happen to it on the way: deleted and queued again under
// the same name while spoold filters it or pjlsend sends it, a printer that takes no data for
// minutes, a disk that is full when the send has to be recorded, and a lock left empty by a
// killed program. Real queuejob, spoold, pjlsend and printersim throughout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/fsops.h"
#include "spooler/printer_send.h"
#include "spooler/prnfilt.h"
#include "spooler/printq.h"
#include "spooler/spoold.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"

using spooler::get_printq;
using spooler::kOwnerlessLockAge;
using spooler::printq_delete;
using spooler::printq_filename;
using spooler::queue_lock;
using spooler::queue_record;
using spooler::same_job;
using spooler::spool_args;

namespace {

using testkit::slurp;
using testkit::spit;

class Requeue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.ok()) << sim_.error();
    sim_.export_endpoints();
    keeper_ = std::thread([this] {
      // The relay's part: the printer's status page copied into the status document.
      while (!stop_) {
        std::string page = sim_.status_page();
        if (!page.empty()) ld::write_file_atomic(printer_status_path(), page);
        ::usleep(200000);
      }
    });
    ASSERT_TRUE(testkit::wait_until([&] { return ld::file_exists(printer_status_path()); }));
  }
  void TearDown() override {
    stop_ = true;
    keeper_.join();
  }

  std::string q(const std::string& name) { return root_("/print/printq/" + name); }
  // A job in the library, as the receiver and the thumbnail renderer leave it.
  std::string stored(const std::string& name, int pages, uint64_t payload) {
    testkit::JobSpec s;
    s.pages = pages;
    s.payload = payload;
    const std::string path = root_("/print/prns/" + name);
    spit(path, testkit::make_job(s));
    return path;
  }
  // What the job browser's Print does; the copy's path.
  std::string queuejob(const std::string& job, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {testkit::bin("queuejob"), job});
    std::string out, err;
    EXPECT_EQ(testkit::run(options, &out, &err), 0) << err;
    return out.empty() ? "" : out.substr(0, out.size() - 1);
  }
  std::vector<queue_record> queue() {
    testkit::Capture cap_err_1(testkit::kStderr);
    std::vector<queue_record> r = get_printq(spooler::Config{});
    cap_err_1.err();
    return r;
  }
  // The job browser's delete of the queue's head.
  void delete_head() {
    testkit::Capture cap_err_2(testkit::kStderr);
    EXPECT_EQ(printq_delete(spooler::Config{}, 0), 1);
    cap_err_2.err();
  }
  // What the filter makes of `job` with the options of `r`.
  std::string filtered(const std::string& job, const queue_record& r) {
    prnfilt_args a = spool_args(r);
    a.input = job;
    a.output = root_("/expect.out");
    int32_t flag = 0;
    testkit::Capture cap_err_3(testkit::kStderr);
    EXPECT_GT(prnfilt(a, &flag), 0);
    cap_err_3.err();
    return slurp(a.output);
  }
  int run(const std::string& prog, std::string* out = nullptr, std::string* err = nullptr) {
    return testkit::run({testkit::bin(prog)}, out, err);
  }

  testkit::TempRoot root_;
  testkit::SimPrinter sim_{root_("/printer"), {"--set", "chunked="}};
  const std::string dir_ = sim_.dir();
  std::thread keeper_;
  std::atomic<bool> stop_{false};
};

// The job being sent is deleted and queued again with other options; it gets the same name.
// When the old send ends, the new job must stay queued with its file, and be printed next.
TEST_F(Requeue, AJobQueuedAgainDuringItsSendIsPrintedAfterIt) {
  // Larger than what the sockets buffer: the send waits for the stalled printer.
  const std::string job = stored("label.prn", 2, 8 << 20);
  ASSERT_TRUE(sim_.control("raw=stall\n"));
  ASSERT_EQ(queuejob(job), q("label_0.spl"));
  ASSERT_EQ(run("spoold"), 1);
  const std::string old_prn = slurp(q("label_0.prn"));
  testkit::Process sender({testkit::bin("pjlsend")});
  ASSERT_TRUE(sim_.raw_log_has("job 1 open"));

  delete_head();
  EXPECT_EQ(queuejob(job, {"--from", "1", "--to", "2", "--copies", "2", "--collate"}), q("label_0.spl"));
  ASSERT_EQ(run("spoold"), 1);
  const queue_record now = queue().at(0);
  const std::string new_prn = filtered(job, now);
  ASSERT_TRUE(slurp(q("label_0.prn")) == new_prn);

  ASSERT_TRUE(sim_.control("raw=read\n"));
  EXPECT_EQ(sender.wait(120000), 1);
  EXPECT_NE(sender.err().find("print_first: " + q("label_0.prn") + " is no longer in the queue\n"),
            std::string::npos)
      << sender.err();
  ASSERT_TRUE(sim_.raw_log_has_prefix("job 2 end"));
  EXPECT_TRUE(slurp(dir_ + "/jobs/0001.prn") == old_prn);
  EXPECT_TRUE(slurp(dir_ + "/jobs/0002.prn") == new_prn);
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(testkit::list_dir(root_("/print/printq")), std::vector<std::string>{"printq"});
}

// The job being filtered is deleted and queued again with other options under the same name.
// The old pass must neither bring the old record back nor take the new copy.
TEST_F(Requeue, AJobQueuedAgainWhileItIsFilteredKeepsItsNewOptions) {
  const std::string job = stored("tag.prn", 2, 16 << 20);
  // spoold is held by stopping it once it has read the queue and begun the job; should it have
  // finished the job before the stop arrives, the attempt starts over.
  bool held = false;
  std::string err;
  for (int attempt = 0; attempt < 5 && !held; ++attempt) {
    ASSERT_EQ(queuejob(job, {"--copies", "3", "--collate"}), q("tag_0.spl"));
    const queue_record old = queue().at(0);
    testkit::Process spooler({testkit::bin("spoold")});
    ASSERT_TRUE(testkit::wait_until([&] { return spooler.out().find("tag needs spooling") != std::string::npos; }));
    spooler.kill(SIGSTOP);
    held = queue().at(0).spooled == 0;
    if (held) {
      delete_head();
      EXPECT_EQ(queuejob(job, {"--from", "2", "--to", "2"}), q("tag_0.spl"));
      EXPECT_FALSE(same_job(queue().at(0), old));
    }
    spooler.kill(SIGCONT);
    EXPECT_EQ(spooler.wait(120000), 1);
    err = spooler.err();
    if (!held) delete_head();
  }
  ASSERT_TRUE(held) << "spoold finished each time before it could be stopped";
  EXPECT_NE(err.find("spoold: " + q("tag_0.spl") + " left the queue while it was filtered\n"), std::string::npos)
      << err;
  std::vector<queue_record> after = queue();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_STREQ(after[0].path, q("tag_0.spl").c_str());
  EXPECT_EQ(after[0].spooled, 0);
  EXPECT_EQ(std::vector<int>({after[0].from, after[0].to, after[0].copies}), std::vector<int>({2, 2, 1}));
  EXPECT_TRUE(slurp(q("tag_0.spl")) == slurp(job));
  EXPECT_FALSE(ld::file_exists(q("tag_0.prn")));
  EXPECT_FALSE(ld::file_exists(q("tag_0.spl.tmp")));

  // The next pass spools the new job with its own options.
  ASSERT_EQ(run("spoold"), 1);
  after = queue();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].spooled, 1);
  EXPECT_TRUE(slurp(q("tag_0.prn")) == filtered(job, after[0]));
}

// A printer that takes no data for the send time-out (out of labels) keeps its job: it is sent
// again, whole, once the printer reads again; nothing is dropped.
TEST_F(Requeue, APrinterThatStopsTakingDataKeepsTheJob) {
  const std::string job = stored("media.prn", 2, 8 << 20);
  ASSERT_TRUE(sim_.control("raw=stall\n"));
  ASSERT_EQ(queuejob(job), q("media_0.spl"));
  ASSERT_EQ(run("spoold"), 1);
  const std::string prn = slurp(q("media_0.prn"));
  testkit::Process sender({testkit::bin("pjlsend")}, {{"LABELDOCK_SEND_TIMEOUT", "1"}});
  const std::string stalled = "print_first: the printer took no data for 1 seconds, " + q("media_0.prn") +
                              " stays at the head of the queue\n";
  ASSERT_TRUE(testkit::wait_until([&] { return testkit::count_of(sender.err(), stalled) >= 2; }, 60000)) << sender.err();
  EXPECT_EQ(queue().size(), 1u);
  ASSERT_TRUE(sim_.control("raw=read\n"));
  EXPECT_EQ(sender.wait(120000), 1);
  EXPECT_EQ(sender.err().find("fatal error"), std::string::npos) << sender.err();
  EXPECT_NE(sender.out().find("printing file: " + q("media_0.prn") + " copy 0 of 1 (0)\n"), std::string::npos);
  EXPECT_TRUE(queue().empty());
  // The stalled connections end cut short once the printer reads again; the last one is whole.
  const int sends = testkit::count_of(sender.out(), "printing file: ");
  ASSERT_GE(sends, 3);
  char last[16];
  std::snprintf(last, sizeof last, "%04d", sends);
  ASSERT_TRUE(sim_.raw_log_has_prefix("job " + std::to_string(sends) + " end"));
  EXPECT_TRUE(slurp(dir_ + "/jobs/" + last + ".prn") == prn);
}

// The disk is full when the finished send is to be recorded: pjlsend says why and waits for
// space; the job is printed once, and the one behind it next.
TEST_F(Requeue, AFullDiskAfterTheSendDelaysItsRecordButNeverResendsIt) {
  const std::string job = stored("full.prn", 2, 8 << 20);
  ASSERT_TRUE(sim_.control("raw=stall\n"));
  ASSERT_EQ(queuejob(job), q("full_0.spl"));
  ASSERT_EQ(queuejob(stored("next.prn", 1, 1000)), q("next_0.spl"));
  ASSERT_EQ(run("spoold"), 1);
  testkit::Process sender({testkit::bin("pjlsend")});
  ASSERT_TRUE(sim_.raw_log_has("job 1 open"));
  // The queue is rewritten through "<queue>.tmp<pid>": while that name leads to /dev/full,
  // every rewrite fails as on a full disk (and the failed writer removes the link).
  const std::string tmp = printq_filename() + ".tmp" + std::to_string(sender.pid());
  const std::string failed = "printq_remove_record ERROR cannot write " + printq_filename() +
                             ": No space left on device\n";
  ASSERT_EQ(::symlink("/dev/full", tmp.c_str()), 0);
  ASSERT_TRUE(sim_.control("raw=read\n"));
  ASSERT_TRUE(testkit::wait_until(
      [&] {
        if (!ld::file_exists(tmp) && testkit::count_of(sender.err(), failed) < 3) ::symlink("/dev/full", tmp.c_str());
        return testkit::count_of(sender.err(), failed) >= 3;
      },
      60000))
      << sender.err();
  EXPECT_EQ(sender.wait(60000), 1);
  EXPECT_NE(sender.out().find("cannot record that " + q("full_0.prn") + " is done: cannot write " + printq_filename() +
                              ": No space left on device; trying again\n"),
            std::string::npos)
      << sender.out();
  EXPECT_EQ(sender.out().find("cannot get lock"), std::string::npos);
  EXPECT_TRUE(sim_.raw_log_has_prefix("job 2 end"));
  EXPECT_NE(sim_.raw_log().find("job 2 name next_0.prn\n"), std::string::npos) << sim_.raw_log();
  EXPECT_EQ(sim_.raw_log().find("job 3 open"), std::string::npos) << sim_.raw_log();
  EXPECT_TRUE(queue().empty());
  EXPECT_EQ(testkit::list_dir(root_("/print/printq")), std::vector<std::string>{"printq"});
}

// A program killed between creating the queue lock and writing its owner into it leaves an
// empty lock; once it is old enough, the next programs break it and the queue moves again.
TEST_F(Requeue, AnEmptyLockLeftByAKilledWriterIsBroken) {
  ASSERT_EQ(queuejob(stored("lock.prn", 1, 1000)), q("lock_0.spl"));
  spit(queue_lock(), "");
  const time_t old = ::time(nullptr) - kOwnerlessLockAge;
  timespec t[2] = {{old, 0}, {old, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, queue_lock().c_str(), t, 0), 0);
  std::string out, err;
  ASSERT_EQ(run("spoold", &out, &err), 1);
  EXPECT_NE(err.find("LOCK STALE " + queue_lock() + ": no owner in it for "), std::string::npos) << err;
  EXPECT_EQ(err.find("LOCK EXISTS"), std::string::npos) << err;
  EXPECT_EQ(run("pjlsend", &out, &err), 1);
  EXPECT_TRUE(sim_.raw_log_has_prefix("job 1 end"));
  EXPECT_TRUE(queue().empty());
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

}  // namespace
