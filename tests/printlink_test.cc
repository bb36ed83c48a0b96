// A filtered job on its way to the printer stand-in: the raw send of the filtered file, the
// printer hanging up in the middle, and the online gate over a copy of the printer's own
// status page.
#include <gtest/gtest.h>

#include <string>

#include "common/fsops.h"
#include "spooler/printer_link.h"
#include "spooler/prnfilt.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"

namespace {

using testkit::slurp;

class PrintLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.ok()) << sim_.error();
    sim_.export_endpoints();
  }

  void control(const std::string& text) { ASSERT_TRUE(sim_.control(text)); }
  bool raw_log_has(const std::string& line) { return sim_.raw_log_has(line); }

  // What the component that keeps the status document fresh does: fetch the printer's status
  // page and store its body.
  void refresh_status_document() {
    std::string page = sim_.status_page();
    ASSERT_FALSE(page.empty());
    ASSERT_TRUE(ld::write_file_atomic(printer_status_path(), page));
  }

  testkit::TempRoot root_;
  testkit::SimPrinter sim_{root_("/printer"), {"--set", "chunked="}};
};

TEST_F(PrintLink, FilteredJobReachesThePrinterAsItIs) {
  std::string pages;
  for (const char* shade : {"-white", "-black"}) {
    std::string pbm;
    ASSERT_EQ(testkit::run({"/usr/bin/pbmmake", shade, "1200", "1600"}, &pbm), 0);
    pages += pbm;
  }
  std::string job;
  ASSERT_EQ(testkit::run({"/usr/bin/foo2zjs", "-r600x600", "-g1200x1600", "-p1"}, &job, nullptr, {}, pages), 0);
  std::string in = root_("/print/printq/label_0.spl"), out = root_("/print/printq/label_0.prn");
  testkit::spit(in, job);
  prnfilt_args a{in, out, 2, 1, 1, 2, 0, 0, {}};
  int32_t send_copies = 0;
  ASSERT_EQ(prnfilt(a, &send_copies), 2);
  std::string filtered = slurp(out);
  ASSERT_GT(filtered.size(), job.size());

  EXPECT_EQ(print_prn("127.0.0.1", out), 1);
  ASSERT_TRUE(raw_log_has("job 1 end pjl 0 data " + std::to_string(filtered.size())));
  EXPECT_TRUE(slurp(sim_.dir() + "/jobs/0001.prn") == filtered);

  // An empty file: a connection opened and closed, not a byte sent.
  std::string empty = root_("/print/printq/empty.prn");
  testkit::spit(empty, "");
  EXPECT_EQ(print_prn("127.0.0.1", empty), 1);
  ASSERT_TRUE(raw_log_has("job 2 end pjl 0 data 0"));
}

TEST_F(PrintLink, PrinterHangsUpInTheMiddle) {
  control("drop_after=300000\n");
  std::string file = root_("/print/printq/big.prn");
  testkit::spit(file, std::string(16 << 20, 'x'));
  testing::internal::CaptureStderr();
  EXPECT_EQ(print_prn("127.0.0.1", file), 0);
  std::string msg = testing::internal::GetCapturedStderr();
  EXPECT_EQ(msg.rfind("ERROR: Failed to send 100000 bytes from file " + file + " ", 0), 0u) << msg;
  EXPECT_TRUE(raw_log_has("job 1 drop at 300000 pjl 0 data 300000"));
}

TEST_F(PrintLink, GateFollowsThePrinterState) {
  refresh_status_document();
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_printer_status(), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "check_printer_status ok\n");

  control("chunked=\nSystemState=Paused\n");
  refresh_status_document();
  testing::internal::CaptureStderr();
  EXPECT_EQ(check_printer_status(), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "printer status Paused\n");
}

}  // namespace
