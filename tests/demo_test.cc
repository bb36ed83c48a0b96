// The whole appliance in one scripted pass: script/demo --once runs the real programs, the
// triggers and lighttpd in a sandbox root and plays every road (receive, filter, thumbnail, list,
// print from the job page, queue actions, RFID encoding, upload, USB backup and upload, event
// log). Each road must pass, the summary must name what reached the printer, and once the demo
// has ended none of the programs it started may still run.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testkit/scenario.h"

namespace {

// The command lines of the processes whose environment holds LABELDOCK_ROOT=root.
std::vector<std::string> programs_in(const std::string& root) {
  std::vector<std::string> found;
  const std::string mark = "LABELDOCK_ROOT=" + root;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (struct dirent* e = ::readdir(proc)) {
    std::string pid = e->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string env = testkit::slurp("/proc/" + pid + "/environ");
    for (size_t at = 0; at < env.size();) {
      size_t end = env.find('\0', at);
      if (end == std::string::npos) end = env.size();
      if (env.compare(at, end - at, mark) == 0) {
        std::string cmd = testkit::slurp("/proc/" + pid + "/cmdline");
        for (char& c : cmd)
          if (c == '\0') c = ' ';
        found.push_back(pid + " " + cmd);
        break;
      }
      at = end + 1;
    }
  }
  ::closedir(proc);
  return found;
}

TEST(DemoOnce, EveryRoadPassesAndNothingKeepsRunning) {
  testkit::TempRoot tmp;
  const std::string sandbox = tmp("/demo");
  std::string out, err;
  int status = testkit::run({"/bin/bash", std::string(LABELDOCK_SOURCE_DIR) + "/script/demo", "--once", "--bin",
                             LABELDOCK_BIN_DIR, "--root", sandbox},
                            &out, &err);
  ASSERT_EQ(status, 0) << out << err;
  EXPECT_NE(out.find("\ndemo: every road passed\n"), std::string::npos) << out;
  const size_t summary = out.find("\n== summary\n");
  ASSERT_NE(summary, std::string::npos) << out;
  for (std::string road :
       {"receive", "filter", "thumbnail", "list", "print", "queue", "status", "rfid", "upload", "usb", "events"}) {
    road.resize(10, ' ');
    EXPECT_NE(out.find("\n" + road + " ok ", summary), std::string::npos) << road << out.substr(summary);
  }
  // Printed from the job page with two copies, and the job left in the queue after the queue
  // actions; the deleted one never reaches the printer.
  const std::string printer = out.substr(out.find("what reached the printer:", summary));
  EXPECT_NE(printer.find("\"Shipping label 42_0.prn\""), std::string::npos) << printer;
  EXPECT_NE(printer.find("\"Colour label_0.prn\""), std::string::npos) << printer;
  EXPECT_EQ(printer.find("Pallet tags"), std::string::npos) << printer;
  // The RFID road: the labels' tag events and the new EPC's write result reached the printer's
  // web pages; the printer's "Q" ended tagsmith at the end, and the reader modules' ports went.
  const std::string rfid = out.substr(out.find("\n== RFID encoding"));
  for (std::string page : {"/job/rfid_ntag?st=1&nr=0&dt=0&epc=300833B2DDD9014000000003",
                           "/job/rfid_exittag?st=1&nr=0&dt=0&epc=300833B2DDD9014000000003",
                           "/job/rfid_wtag_result?state=0&err=0&index=3&epc_len=12&epc=300833B2DDD90140000000A3",
                           "/job/rfid_exittag?st=1&nr=0&dt=0&epc=300833B2DDD90140000000A3"}) {
    EXPECT_NE(rfid.find("\n  " + page + "\n"), std::string::npos) << page << rfid;
  }
  EXPECT_NE(out.find("\ntagsmith ended on the printer's Q (status 0)\n", summary), std::string::npos) << out;
  for (std::string port : {"/dev/ttyUSB0", "/dev/ttyUSB1", "/sys/bus/usb-serial/devices/ttyUSB0"}) {
    struct stat st;
    EXPECT_NE(::lstat((sandbox + port).c_str(), &st), 0) << port;
  }
  EXPECT_EQ(programs_in(sandbox), std::vector<std::string>{});
}

}  // namespace
