// A printer that says it is online but takes no data: the send loop's watchdog writes an
// event-log line and puts up the notice that the queue and status pages show, and takes it
// down once the printer reads again and the job moves on to paper.
#include <gtest/gtest.h>

#include <string>

#include "common/fsops.h"
#include "spooler/printq.h"
#include "spooler/stuckwatch.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"
#include "testkit/zjsgen.h"

namespace {

using testkit::slurp;
using spooler::add_to_queue;
using spooler::get_printq;
using spooler::queue_record;

TEST(StuckJob, AStalledPrinterRaisesTheNoticeAndItGoesWhenTheJobMoves) {
  testkit::TempRoot root;
  root.install_recording_log_client();
  testkit::SimPrinter sim(root("/printer"), {"--set", "chunked="});
  ASSERT_TRUE(sim.ok()) << sim.error();
  sim.export_endpoints();
  testkit::StatusKeeper keeper(sim);
  ASSERT_TRUE(keeper.started());
  ASSERT_TRUE(sim.control("raw=stall\n"));

  // Far more than the socket buffers on both sides hold, so the stall shows on this side.
  testkit::JobSpec shape;
  shape.pages = 2;
  shape.payload = 8 << 20;
  const std::string spl = root("/print/printq/stall_0.spl");
  testkit::spit(spl, testkit::make_job(shape));
  queue_record options;
  options.from = 1;
  options.to = 2;
  options.copies = 1;
  {
    testkit::Capture cap(testkit::kStderr);
    ASSERT_EQ(add_to_queue(spooler::Config{}, spl, "Stalled label", options), 1);
  }
  ASSERT_EQ(testkit::run({testkit::bin("spoold")}), 1);

  testkit::Process sender({testkit::bin("pjlsend")}, {{"LABELDOCK_STUCK_AFTER", "2"}, {"LABELDOCK_SEND_TIMEOUT", "600"}});
  ASSERT_TRUE(testkit::wait_until([] { return ld::file_exists(ld::stuck_notice_path()); }, 20000)) << sender.err();
  // The log client is started beside the send and may take a moment.
  EXPECT_TRUE(testkit::wait_until(
      [&] { return root.log_client_output().find("print job Stalled label is not moving") != std::string::npos; }))
      << root.log_client_output();
  {
    testkit::Capture cap(testkit::kStderr);
    ASSERT_TRUE(ld::current_stuck_notice(get_printq(spooler::Config{})).has_value());
  }
  std::string page;
  ASSERT_EQ(testkit::run({testkit::bin("statusdesk")}, &page), 0);
  EXPECT_NE(page.find("<div id='stuck_notice'>Not moving: the printer says Online but takes no data: Stalled label ("),
            std::string::npos)
      << page;
  EXPECT_TRUE(sender.running());

  ASSERT_TRUE(sim.control("raw=read\n"));
  ASSERT_TRUE(testkit::wait_until([] { return !ld::file_exists(ld::stuck_notice_path()); }, 20000));
  ASSERT_TRUE(sim.raw_log_has_prefix("job 1 end "));
  EXPECT_EQ(sender.wait(), 1);
  EXPECT_TRUE(testkit::wait_until(
      [&] { return root.log_client_output().find("print job Stalled label is moving again") != std::string::npos; }))
      << root.log_client_output();
  // One connection only: the watchdog reports, it does not give the send up.
  EXPECT_EQ(slurp(sim.dir() + "/raw.log").find("job 2 open"), std::string::npos);
  page.clear();
  ASSERT_EQ(testkit::run({testkit::bin("statusdesk")}, &page, nullptr, {{"QUERY_STRING", "history=1"}}), 0);
  EXPECT_NE(page.find("<tr class='h_sent'><td class='hname'>Stalled label</td><td>2</td><td>1</td>"), std::string::npos)
      << page;
}

}  // namespace
