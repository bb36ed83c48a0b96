// A queued job on its way to paper: the job browser's queue records, spoold filtering their
// copies, pjlsend sending them behind the PJL header to the printer stand-in, which records what
// it got. Also the pause flag, a stale status document, repeated sends, a cancelled job, other
// programs changing the queue meanwhile, and pjlsend's diagnostic arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "common/fsops.h"
#include "spooler/pjlsend.h"
#include "spooler/printer_send.h"
#include "spooler/prnfilt.h"
#include "spooler/printq.h"
#include "spooler/spoold.h"
#include "testkit/capture.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"

using spooler::add_to_queue;
using spooler::get_printq;
using spooler::pause_printing;
using spooler::printq_delete;
using spooler::queue_record;
using spooler::resume_printing;
using spooler::set_record_text;
using spooler::spool_args;

namespace {

using testkit::slurp;
using testkit::spit;

using testkit::wire_header;

class Print : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.ok()) << sim_.error();
    sim_.export_endpoints();
    ASSERT_TRUE(keeper_.started());
  }

  void control(const std::string& text) { ASSERT_TRUE(sim_.control(text)); }
  std::string raw_log() { return sim_.raw_log(); }
  // Waits for a line of the stand-in's log that starts with `start`.
  bool raw_log_has(const std::string& start, int timeout_ms = 20000) {
    return sim_.raw_log_has_prefix(start, timeout_ms);
  }
  std::string q(const std::string& name) { return root_("/print/printq/" + name); }

  // What the job browser does to print a job: copy it into the queue directory as a ".spl"
  // and append a record with the options.
  void enqueue(const std::string& spl, const std::string& data, queue_record options) {
    spit(q(spl), data);
    testkit::Capture cap(testkit::kStderr);
    ASSERT_EQ(add_to_queue(spooler::Config{}, q(spl), spl, options), 1);
    cap.err();
  }
  static queue_record options(int from, int to, int copies = 1, int collate = 0) {
    queue_record r;
    r.from = from;
    r.to = to;
    r.copies = copies;
    r.collate = collate;
    return r;
  }
  std::vector<std::string> queued() {
    testkit::Capture cap(testkit::kStderr);
    std::vector<std::string> out;
    for (const queue_record& r : get_printq(spooler::Config{}))
      out.push_back(ld::base_name(r.path));
    cap.err();
    return out;
  }
  int run(const std::string& prog, std::vector<std::string> args = {}, std::string* out = nullptr,
          std::string* err = nullptr) {
    args.insert(args.begin(), testkit::bin(prog));
    return testkit::run(args, out, err);
  }
  // The filter's output for a copy, made in this process from the same bytes.
  std::string filtered(const std::string& data, const queue_record& r) {
    spit(root_("/expect.in"), data);
    prnfilt_args a = spool_args(r);
    a.input = root_("/expect.in");
    a.output = root_("/expect.out");
    int32_t flag = 0;
    testkit::Capture cap(testkit::kStderr);
    EXPECT_GT(prnfilt(a, &flag), 0);
    cap.err();
    return slurp(a.output);
  }
  static std::string driver_job() {
    using testkit::Shade;
    testkit::DriverJob job =
        testkit::driver_job(testkit::shade_pages(1200, 1600, {Shade::kWhite, Shade::kGray, Shade::kBlack}));
    EXPECT_TRUE(job.ok()) << job.error;
    return job.bytes;
  }
  static std::string generated(int pages, uint64_t payload) {
    testkit::JobSpec s;
    s.pages = pages;
    s.payload = payload;
    return testkit::make_job(s);
  }

  testkit::TempRoot root_;
  testkit::SimPrinter sim_{root_("/printer"), {"--set", "chunked="}};
  const std::string dir_ = sim_.dir();
  testkit::StatusKeeper keeper_{sim_};
};

TEST_F(Print, QueuedJobsReachThePrinterFiltered) {
  const std::string driver = driver_job();
  const std::string gen = generated(4, 50000);
  ASSERT_EQ(driver.substr(0, 4), "JZJZ");

  queue_record a = options(2, 3, 2, 1);  // pages 2-3 of the driver's job, two collated sets
  a.quality = 2;
  a.ntags = 1;
  a.tags[0] = {6, 2};  // media type
  enqueue("Shipping label_0.spl", driver, a);
  queue_record b = options(3, 1, 3, 0);  // `to` before `from`: page 3 alone, three copies
  b.disp = 5;
  enqueue("gen_0.spl", gen, b);
  set_record_text(a.path, q("Shipping label_0.spl"));
  set_record_text(b.path, q("gen_0.spl"));
  const std::string want_a = filtered(driver, a), want_b = filtered(gen, b);

  std::string out, err;
  EXPECT_EQ(run("spoold", {}, &out, &err), 1) << err;
  EXPECT_NE(out.find("Shipping label_0 needs spooling\nfrom=2 to=3 copy=2 col=1 disp=0 qual=2 tags=1\n0: 6=2\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("/bin/mv " + q("Shipping\\ label_0.spl") + ".tmp " + q("Shipping\\ label_0.prn") + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(queued(), (std::vector<std::string>{"Shipping label_0.prn", "gen_0.prn"}));
  EXPECT_TRUE(slurp(q("Shipping label_0.prn")) == want_a);

  EXPECT_EQ(run("pjlsend", {}, &out, &err), 1) << err;
  ASSERT_TRUE(raw_log_has("job 2 end "));
  EXPECT_NE(out.find("printing file: " + q("Shipping label_0.prn") + " copy 0 of 2 (0)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  IPv4: 127.0.0.1\n"), std::string::npos) << out;
  EXPECT_NE(raw_log().find("job 1 name Shipping label_0.prn\n"), std::string::npos) << raw_log();
  EXPECT_EQ(slurp(dir_ + "/jobs/0001.pjl"), wire_header("5368697070696e67206c6162656c5f302e70726e"));
  EXPECT_EQ(slurp(dir_ + "/jobs/0002.pjl"), wire_header("67656e5f302e70726e"));
  EXPECT_TRUE(slurp(dir_ + "/jobs/0001.prn") == want_a);
  EXPECT_TRUE(slurp(dir_ + "/jobs/0002.prn") == want_b);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(testkit::list_dir(root_("/print/printq")), std::vector<std::string>{"printq"});
}

TEST_F(Print, PauseFlagHoldsTheQueueUntilItGoes) {
  enqueue("p_0.spl", generated(1, 1000), options(1, 1));
  ASSERT_EQ(run("spoold"), 1);
  ASSERT_EQ(pause_printing(spooler::Config{}), 1);
  testkit::Process sender({testkit::bin("pjlsend")});
  ASSERT_TRUE(testkit::wait_until([&] { return testkit::count_of(sender.out(), "wait  0\n") >= 3; }));
  EXPECT_EQ(raw_log().find("job 1 open"), std::string::npos);
  EXPECT_EQ(queued(), std::vector<std::string>{"p_0.prn"});
  resume_printing(spooler::Config{});
  ASSERT_TRUE(raw_log_has("job 1 end "));
  EXPECT_EQ(sender.wait(), 1);
  EXPECT_TRUE(queued().empty());
}

TEST_F(Print, StaleOrOfflineStatusDocumentWaits) {
  enqueue("s_0.spl", generated(1, 1000), options(1, 1));
  ASSERT_EQ(run("spoold"), 1);
  keeper_.set_fresh(false);
  ::usleep(300000);  // the keeper's last copy is written; it ages ten seconds at once
  const time_t old = ::time(nullptr) - 10;
  timespec t[2] = {{old, 0}, {old, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, printer_status_path().c_str(), t, 0), 0);
  testkit::Process sender({testkit::bin("pjlsend")});
  ASSERT_TRUE(testkit::wait_until([&] { return testkit::count_of(sender.err(), "Last modified time: ") >= 2; }));
  EXPECT_NE(sender.out().find("wait  1\n"), std::string::npos);
  // The printer now reports itself busy: fresh, but not online.
  control("SystemState=Printing\n");
  keeper_.set_fresh(true);
  ASSERT_TRUE(testkit::wait_until([&] { return sender.err().find("printer status Printing\n") != std::string::npos; }));
  EXPECT_EQ(raw_log().find("job 1 open"), std::string::npos);
  control("SystemState=Online\n");
  ASSERT_TRUE(raw_log_has("job 1 end "));
  EXPECT_EQ(sender.wait(), 1);
}

TEST_F(Print, SendCopiesSendsTheFileOncePerCopy) {
  queue_record r = options(1, 2, 3, 1);
  r.send_copies = 1;  // as the filter leaves it for a collated file too large to build
  enqueue("c_0.spl", generated(2, 1000), r);
  ASSERT_EQ(run("spoold"), 1);
  std::string out, err;
  EXPECT_EQ(run("pjlsend", {}, &out, &err), 1) << err;
  ASSERT_TRUE(raw_log_has("job 3 end "));
  for (int i = 0; i < 3; ++i)
    EXPECT_NE(out.find("printing file: " + q("c_0.prn") + " copy " + std::to_string(i) + " of 3 (1)\n"),
              std::string::npos)
        << out;
  EXPECT_EQ(slurp(dir_ + "/jobs/0001.prn"), slurp(dir_ + "/jobs/0003.prn"));
  EXPECT_EQ(testkit::count_of(out, "run rm "), 1);
  EXPECT_TRUE(queued().empty());
}

TEST_F(Print, CancelledAndMissingJobsAreDroppedAndTheNextIsSent) {
  // The printer's cancellation report arrives in two pieces.
  control("say=1000:@PJL USTATUS JOB\\r\\nCAN\nsay=300000:CEL\\r\\n\n");
  enqueue("big_0.spl", generated(2, 8 << 20), options(1, 2));
  enqueue("gone_0.spl", generated(1, 100), options(1, 1));
  enqueue("next_0.spl", generated(1, 100), options(1, 1));
  ASSERT_EQ(run("spoold"), 1);
  ASSERT_TRUE(ld::remove_file(q("gone_0.prn")));
  std::string out, err;
  EXPECT_EQ(run("pjlsend", {}, &out, &err), 1);
  EXPECT_NE(err.find("Job cancelled\n\n"), std::string::npos) << err;
  EXPECT_NE(err.find("ERROR: File " + q("gone_0.prn") + " not found.\n"), std::string::npos) << err;
  EXPECT_EQ(testkit::count_of(err, "fatal error - failed to send print job\n"), 2) << err;
  ASSERT_TRUE(raw_log_has("job 2 end "));
  EXPECT_EQ(slurp(dir_ + "/jobs/0002.pjl"), wire_header("6e6578745f302e70726e"));
  EXPECT_TRUE(queued().empty());
  EXPECT_FALSE(ld::file_exists(q("big_0.prn")));
}

TEST_F(Print, JobsAddedMeanwhileStayQueued) {
  // A slow printer keeps the first job on the wire for a while.
  control("read_chunk=65536\nread_delay_ms=20\n");
  enqueue("slow_0.spl", generated(1, 4 << 20), options(1, 1));
  // spoold filtering a large job while the job browser queues another one.
  enqueue("huge_0.spl", generated(2, 16 << 20), options(1, 2));
  testkit::Process spooler({testkit::bin("spoold")});
  ASSERT_TRUE(testkit::wait_until([&] { return spooler.out().find("huge_0 needs spooling") != std::string::npos; }));
  enqueue("during_spool_0.spl", generated(1, 100), options(1, 1));
  EXPECT_EQ(spooler.wait(), 1);
  EXPECT_EQ(queued(), (std::vector<std::string>{"slow_0.prn", "huge_0.prn", "during_spool_0.spl"}));
  // While the first job is on the wire the job browser adds one more and deletes huge_0; the
  // loop then meets the unspooled job at the head and ends.
  testkit::Process sender({testkit::bin("pjlsend")});
  ASSERT_TRUE(raw_log_has("job 1 open"));
  enqueue("during_send_0.spl", generated(1, 100), options(1, 1));
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(printq_delete(spooler::Config{}, 1), 1);
  cap.err();
  EXPECT_EQ(sender.wait(60000), 1);
  EXPECT_EQ(queued(), (std::vector<std::string>{"during_spool_0.spl", "during_send_0.spl"}));
  EXPECT_TRUE(raw_log_has("job 1 end "));
  EXPECT_EQ(raw_log().find("job 2 open"), std::string::npos);
}

TEST_F(Print, DiagnosticArguments) {
  std::string out, err;
  EXPECT_EQ(run("pjlsend", {"-dump"}, &out, &err), 0);
  EXPECT_EQ(out, "printq \ndump_queue njobs = 0\n");

  enqueue("d_0.spl", generated(1, 100), options(1, 1));
  ASSERT_EQ(run("spoold"), 1);
  spit(q("orphan_0.prn"), "x");
  EXPECT_EQ(run("pjlsend", {"-check"}, &out, &err), 0);
  EXPECT_EQ(out.rfind("check printq \ncheck_queue njobs = 1\nOK\tfile: " + q("d_0.prn") + " <d_0>", 0), 0u) << out;
  EXPECT_NE(out.find("<" + q("orphan_0.prn") + "> ERROR\nrm " + q("orphan_0.prn") + "\n"), std::string::npos) << out;
  EXPECT_FALSE(ld::file_exists(q("orphan_0.prn")));
  EXPECT_TRUE(ld::file_exists(q("d_0.prn")));

  EXPECT_EQ(run("pjlsend", {"-p"}, &out, &err), 0);
  EXPECT_EQ(err, "check_printer_status ok\n");
  EXPECT_EQ(out, "");
  EXPECT_EQ(queued(), std::vector<std::string>{"d_0.prn"});
}

}  // namespace
