// A filtered job on its way to the printer stand-in: the raw send of the filtered file, the
// printer hanging up in the middle, and the online gate over a copy of the printer's own
// status page.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/net.h"
#include "spooler/printer_link.h"
#include "spooler/prnfilt.h"
#include "testkit/scenario.h"

namespace {

using testkit::slurp;

class PrintLink : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_("/printer");
    sim_ = std::make_unique<testkit::Process>(
        std::vector<std::string>{testkit::bin("printersim"), "--dir", dir_, "--set", "chunked="});
    ASSERT_TRUE(testkit::wait_until([&] { return ld::file_exists(dir_ + "/ports"); }));
    std::string ports = slurp(dir_ + "/ports");
    for (const char* key : {"LABELDOCK_PRINTER_RAW_PORT=", "LABELDOCK_PRINTER_WEB_PORT="}) {
      size_t at = ports.find(key);
      ASSERT_NE(at, std::string::npos) << ports;
      std::string value = ports.substr(at + std::strlen(key), ports.find('\n', at) - at - std::strlen(key));
      std::string name(key, std::strlen(key) - 1);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  void TearDown() override {
    ::unsetenv("LABELDOCK_PRINTER_RAW_PORT");
    ::unsetenv("LABELDOCK_PRINTER_WEB_PORT");
  }

  void control(const std::string& text) { ASSERT_TRUE(ld::write_file_atomic(dir_ + "/control", text)); }

  bool raw_log_has(const std::string& line) {
    return testkit::wait_until([&] { return slurp(dir_ + "/raw.log").find(line + "\n") != std::string::npos; });
  }

  // What the component that keeps the status document fresh does: fetch the printer's status
  // page and store its body.
  void refresh_status_document() {
    std::string err;
    ld::UniqueFd fd = ld::tcp_connect("127.0.0.1", ld::printer_web_port(), 5000, &err);
    ASSERT_TRUE(fd.valid()) << err;
    std::string req = "GET /status/system HTTP/1.0\r\n\r\n";
    ASSERT_TRUE(ld::write_all(fd.get(), req.data(), req.size()));
    std::string reply;
    char b[4096];
    while (ld::wait_readable(fd.get(), 10000) == 1) {
      ssize_t n = ::recv(fd.get(), b, sizeof b, 0);
      if (n <= 0) break;
      reply.append(b, static_cast<size_t>(n));
    }
    size_t body = reply.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos) << reply;
    ASSERT_TRUE(ld::write_file_atomic(printer_status_path(), reply.substr(body + 4)));
  }

  testkit::TempRoot root_;
  std::string dir_;
  std::unique_ptr<testkit::Process> sim_;
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
  EXPECT_TRUE(slurp(dir_ + "/jobs/0001.prn") == filtered);

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
