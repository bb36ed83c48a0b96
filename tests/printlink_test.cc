// A filtered job on its way to the printer stand-in: the raw send of the filtered file, the
// printer hanging up in the middle, the end of a job while the printer reports, and the online
// gate over a copy of the printer's own status page.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "common/endpoints.h"
#include "common/handles.h"
#include "common/net.h"

#include "common/fsops.h"
#include "spooler/pjlsend.h"
#include "spooler/printer_send.h"
#include "spooler/prnfilt.h"
#include "spooler/printq.h"
#include "testkit/capture.h"
#include "testkit/driver_job.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"

using spooler::queue_record;
using spooler::set_record_text;
using spooler::write_pq;

namespace {

using testkit::slurp;

using testkit::wire_header;

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

  // A spooled job at the head of the queue, its file holding `data`.
  void queue_spooled(const std::string& path, const std::string& data) {
    testkit::spit(path, data);
    queue_record r;
    r.from = r.to = r.copies = 1;
    r.spooled = 1;
    set_record_text(r.path, path);
    set_record_text(r.displayname, ld::base_name(path));
    ASSERT_EQ(write_pq(spooler::Config{}, std::vector<queue_record>{r}), 1);
  }

  // The job's raw send, no header, on a connection of its own: what the printer gets is the file.
  int raw_send(const std::string& path) {
    std::string err;
    ld::UniqueFd sock = ld::tcp_connect("127.0.0.1", ld::printer_raw_port(), 5000, &err);
    ld::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!sock.valid() || !file.valid()) return 0;
    return spooler::send_job(stderr, sock.get(), {}, file.get(), path, kPrintSendTimeoutMs) ==
           spooler::SendResult::kSent;
  }

  testkit::TempRoot root_;
  testkit::SimPrinter sim_{root_("/printer"), {"--set", "chunked="}};
};

TEST_F(PrintLink, FilteredJobReachesThePrinterAsItIs) {
  std::string in = root_("/print/printq/label_0.spl"), out = root_("/print/printq/label_0.prn");
  testkit::DriverJobSpec wanted = testkit::shade_pages(1200, 1600, {testkit::Shade::kWhite, testkit::Shade::kBlack});
  wanted.path = in;
  testkit::DriverJob driver = testkit::driver_job(wanted);
  ASSERT_TRUE(driver.ok()) << driver.error;
  const std::string& job = driver.bytes;
  prnfilt_args a{in, out, 2, 1, 1, 2, 0, 0, {}};
  int32_t send_copies = 0;
  ASSERT_EQ(prnfilt(a, &send_copies), 2);
  std::string filtered = slurp(out);
  ASSERT_GT(filtered.size(), job.size());

  EXPECT_EQ(raw_send(out), 1);
  ASSERT_TRUE(raw_log_has("job 1 end pjl 0 data " + std::to_string(filtered.size())));
  EXPECT_TRUE(slurp(sim_.dir() + "/jobs/0001.prn") == filtered);

  // An empty file: a connection opened and closed, not a byte sent.
  std::string empty = root_("/print/printq/empty.prn");
  testkit::spit(empty, "");
  EXPECT_EQ(raw_send(empty), 1);
  ASSERT_TRUE(raw_log_has("job 2 end pjl 0 data 0"));
}

TEST_F(PrintLink, PrinterHangsUpInTheMiddle) {
  control("drop_after=300000\n");
  std::string file = root_("/print/printq/big.prn");
  testkit::spit(file, std::string(16 << 20, 'x'));
  testkit::Capture cap(testkit::kStderr);
  EXPECT_EQ(raw_send(file), 0);
  std::string msg = cap.err();
  EXPECT_EQ(msg.rfind("ERROR: Failed to send 100000 bytes from file " + file + " ", 0), 0u) << msg;
  EXPECT_TRUE(raw_log_has("job 1 drop at 300000 pjl 0 data 300000"));
}

// The printer reports while the end of the job is still on its way to it. Hanging up on an
// unread report makes the kernel reset the connection, and the end of the job, still queued in
// the socket, is thrown away while the sender counts the job as printed.
TEST_F(PrintLink, ReportAfterTheLastPieceDoesNotCostTheEndOfTheJob) {
  testkit::JobSpec wanted;
  wanted.payload = 4 << 20;
  const std::string job = testkit::make_job(wanted);
  const std::string path = root_("/print/printq/late_0.prn");
  const size_t header = wire_header("6c6174655f302e70726e").size();
  struct {
    std::string report;  // as the control file writes it
    std::string logged;
    bool cancelled;
  } cases[] = {
      {"@PJL USTATUS PAGE\\r\\nPAGE=1\\r\\n\\f", "<@PJL USTATUS PAGE\r\nPAGE=1\r\n\f>\n", false},
      {"@PJL USTATUS JOB\\r\\nCANCEL\\r\\n", "<@PJL USTATUS JOB\r\nCANCEL\r\n>\n", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    const std::string id = std::to_string(++n);
    // A slow printer that speaks up shortly before the end of the job.
    control("read_chunk=65536\nread_delay_ms=5\nsay=" +
            std::to_string(header + job.size() - 200000) + ":" + c.report + "\n");
    queue_spooled(path, job);
    testkit::Process sender({testkit::bin("pjlsend")});
    // The status document stays fresh while the loop runs: it asks before and after the job.
    int polls = 0;
    ASSERT_TRUE(testkit::wait_until(
        [&] {
          if (polls++ % 25 == 0) refresh_status_document();
          return !sender.running();
        },
        120000));
    EXPECT_EQ(sender.wait(), 1);
    ASSERT_TRUE(raw_log_has("job " + id + " end pjl " + std::to_string(header) + " data " +
                            std::to_string(job.size())))
        << sim_.raw_log();
    EXPECT_TRUE(slurp(sim_.dir() + "/jobs/000" + id + ".prn") == job);
    EXPECT_NE(sender.err().find(" bytes from printer " + c.logged), std::string::npos)
        << sender.err();
    // A cancelled job is dropped, like one whose send failed.
    EXPECT_EQ(sender.err().find("Job cancelled\n\n") != std::string::npos, c.cancelled)
        << sender.err();
    EXPECT_NE(sender.out().find("run rm "), std::string::npos);
  }
}

TEST_F(PrintLink, GateFollowsThePrinterState) {
  refresh_status_document();
  testkit::Capture ready(testkit::kStderr);
  EXPECT_EQ(check_printer_status(spooler::Config{}), 1);
  EXPECT_EQ(ready.err(), "check_printer_status ok\n");

  control("chunked=\nSystemState=Paused\n");
  refresh_status_document();
  testkit::Capture paused(testkit::kStderr);
  EXPECT_EQ(check_printer_status(spooler::Config{}), 0);
  EXPECT_EQ(paused.err(), "printer status Paused\n");
}

}  // namespace
