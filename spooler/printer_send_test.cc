#include "spooler/printer_send.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "common/endpoints.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "spooler/pjlsend.h"
#include "testkit/capture.h"
#include "testkit/queue_capture.h"
#include "testkit/scenario.h"

namespace {

using testkit::spit;

constexpr time_t kModified = 1700000000;

std::string ctime_text(time_t t) {
  char buf[64];
  ::ctime_r(&t, buf);
  return buf;
}

// The status document with the given text, modified at kModified.
void write_status(const std::string& text) {
  spit(printer_status_path(), text);
  timespec times[2] = {{kModified, 0}, {kModified, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, printer_status_path().c_str(), times, 0), 0);
}

std::string status_doc(const std::string& state) {
  return R"({"system": {"Media": "Labels", "SystemState": )" + state + R"(, "Cutter": 1}})";
}

TEST(PrinterGate, FreshnessStateAndBadDocuments) {
  testkit::TempRoot root;
  const std::string online = status_doc("\"Online\"");
  struct {
    const char* name;
    std::string doc;  // empty: no document at all
    long age;
    int want;
    std::string message;
  } cases[] = {
      {"online, 2 s old", online, 2, 1, "check_printer_status ok\n"},
      {"online, just written", online, 0, 1, "check_printer_status ok\n"},
      {"online, 3 s old", online, 3, 0, "Last modified time: " + ctime_text(kModified) + " diff 3\n"},
      {"modified in the future", online, -10, 0,
       "Last modified time: " + ctime_text(kModified) + " diff 10\n"},
      {"no document", "", 1, 0, "Last modified time: " + ctime_text(0) + " diff " +
                                    std::to_string(kModified + 1) + "\n"},
      {"lower case", status_doc("\"online\""), 1, 0, "printer status online\n"},
      {"trailing blank", status_doc("\"Online \""), 1, 0, "printer status Online \n"},
      {"another state", status_doc("\"Paused\""), 1, 0, "printer status Paused\n"},
      {"a number", status_doc("7"), 1, 0, "printer status 7\n"},
      {"an object", status_doc("{\"a\": 1}"), 1, 0, "could not get printer status\n"},
      {"no SystemState", R"({"system": {"Media": "Labels"}})", 1, 0, "could not get printer status\n"},
      {"no system object", R"({"printer": {"SystemState": "Online"}})", 1, 0,
       "could not get printer status\n"},
      {"system not first", R"({"a": 1, "system": {"SystemState": "Online"}})", 1, 0,
       "could not get printer status\n"},
      {"unbalanced braces", "{\"system\": {\"SystemState\": \"Online\"}}}", 1, 0,
       "Failed to parse JSON: -2\ncould not load " + printer_status_path() + "\n"},
      {"cut short", online.substr(0, 30), 1, 0,
       "Failed to parse JSON: -3\ncould not load " + printer_status_path() + "\n"},
      {"empty file", " ", 1, 0, "Object expected\ncould not load " + printer_status_path() + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(printer_status_path().c_str());
    if (!c.doc.empty()) write_status(c.doc);
    ld::FakeClock clock(kModified + c.age);
    testkit::QueueCapture io(&clock);
    EXPECT_EQ(check_printer_status(io.cfg), c.want);
    EXPECT_EQ(io.err.take(), c.message);
  }
}

// A stand-in for the printer's raw port: accepts one connection and keeps what arrives.
class RawPort {
 public:
  explicit RawPort(bool hang_up_at_once = false, int wait_ms = 10000) {
    std::string err;
    listen_ = ld::tcp_listen(0, 4, true, &err);
    EXPECT_TRUE(listen_.valid()) << err;
    ::setenv("LABELDOCK_PRINTER_RAW_PORT", std::to_string(ld::local_port(listen_.get())).c_str(), 1);
    thread_ = std::thread([this, hang_up_at_once, wait_ms] {
      if (ld::wait_readable(listen_.get(), wait_ms) != 1) return;
      ld::UniqueFd c(ld::tcp_accept(listen_.get()));
      connections_ = 1;
      if (hang_up_at_once) {
        // Take the first bytes (so the sender is surely connected), then reset instead of a
        // polite close, so the sender's next send fails.
        char first[1024];
        (void)::recv(c.get(), first, sizeof first, 0);
        linger l{1, 0};
        ::setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return;
      }
      char buf[65536];
      for (ssize_t n; (n = ::recv(c.get(), buf, sizeof buf, 0)) > 0;) received_.append(buf, n);
    });
  }
  ~RawPort() { ::unsetenv("LABELDOCK_PRINTER_RAW_PORT"); }
  // Waits for the connection (if any) to end.
  void finish() { thread_.join(); }
  const std::string& received() const { return received_; }
  int connections() const { return connections_; }

 private:
  ld::UniqueFd listen_;
  std::thread thread_;
  std::string received_;
  int connections_ = 0;
};

// The job's raw send to the stand-in, on a connection of its own.
spooler::SendResult send_file(FILE* msg, const std::string& path,
                              const std::vector<spooler::HeaderPiece>& header = {}) {
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect("127.0.0.1", ld::printer_raw_port(), 5000, &err);
  EXPECT_TRUE(sock.valid()) << err;
  ld::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(file.valid()) << path;
  return spooler::send_job(msg, sock.get(), header, file.get(), path, kPrintSendTimeoutMs);
}

TEST(SendJob, HeaderPiecesThenTheFileBytesAsTheyAre) {
  testkit::TempRoot root;
  std::string big;
  for (size_t i = 0; i < 2 * spooler::kPjlFileBuffer + 12345; ++i) big.push_back(static_cast<char>(i * 7 + i / 256));
  const std::vector<spooler::HeaderPiece> header{{"AB"}, {"cd\r\n", true}};
  for (const std::string& data : {big, std::string()}) {
    for (bool with_header : {false, true}) {
      SCOPED_TRACE(testing::Message() << data.size() << (with_header ? " behind a header" : " bare"));
      std::string file = root.path() + "/job.prn";
      spit(file, data);
      RawPort port;
      testkit::CapturedFile msg;
      EXPECT_EQ(
          send_file(msg.get(), file, with_header ? header : std::vector<spooler::HeaderPiece>{}),
          spooler::SendResult::kSent);
      port.finish();
      EXPECT_EQ(port.connections(), 1);
      EXPECT_TRUE(port.received() == (with_header ? "ABcd\r\n" : "") + data);
    }
  }
}

// The kernel sends a regular file itself; a job that comes through a pipe (no file to send
// from) goes through the sender's buffer: the printer gets the same bytes, from where the
// descriptor stands.
TEST(SendJob, AJobFromAPipeOrFromMidFileIsSentAsItStands) {
  testkit::TempRoot root;
  std::string data;
  for (size_t i = 0; i < spooler::kPjlFileBuffer + 777; ++i)
    data.push_back(static_cast<char>(i * 13 + i / 100));
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  ld::UniqueFd out(p[0]), in(p[1]);
  std::thread writer([&] {
    (void)ld::write_all(in.get(), data.data(), data.size());
    in.reset();
  });
  {
    RawPort port;
    std::string err;
    ld::UniqueFd sock = ld::tcp_connect("127.0.0.1", ld::printer_raw_port(), 5000, &err);
    ASSERT_TRUE(sock.valid()) << err;
    testkit::CapturedFile msg;
    EXPECT_EQ(spooler::send_job(msg.get(), sock.get(), {}, out.get(), "pipe", kPrintSendTimeoutMs),
              spooler::SendResult::kSent)
        << msg.text();
    sock.reset();
    port.finish();
    EXPECT_TRUE(port.received() == data);
  }
  writer.join();

  const std::string file = root.path() + "/job.prn";
  spit(file, "skipped" + data);
  ld::UniqueFd f(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::lseek(f.get(), 7, SEEK_SET), 7);
  RawPort port;
  std::string err;
  ld::UniqueFd sock = ld::tcp_connect("127.0.0.1", ld::printer_raw_port(), 5000, &err);
  ASSERT_TRUE(sock.valid()) << err;
  testkit::CapturedFile msg;
  EXPECT_EQ(spooler::send_job(msg.get(), sock.get(), {}, f.get(), file, kPrintSendTimeoutMs),
            spooler::SendResult::kSent);
  sock.reset();
  port.finish();
  EXPECT_TRUE(port.received() == data);
}

TEST(SendJob, PrinterThatHangsUpIsAFailedSend) {
  testkit::TempRoot root;
  // In the middle of the job (no SIGPIPE ends this process), and before it has the end.
  struct {
    size_t size;
    std::string message_start;
  } cases[] = {
      {8 << 20, "ERROR: Failed to send 100000 bytes from file "},
      {300000, "ERROR: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::string file = root.path() + "/job.prn";
    spit(file, std::string(c.size, 'x'));
    RawPort port(true);
    testkit::CapturedFile err;
    EXPECT_EQ(send_file(err.get(), file), spooler::SendResult::kFailed);
    std::string msg = err.take();
    EXPECT_EQ(msg.rfind(c.message_start, 0), 0u) << msg;
    port.finish();
  }
}

TEST(DrainNext, EndsWhenThePrinterHasItAllOrStalls) {
  const DrainLimits lim{100, 1000};
  struct {
    bool closed;
    long unacked, idle_ms;
    std::optional<SendEnd> want;
  } cases[] = {
      {true, 0, 0, SendEnd::kTaken},       // read it all and hung up
      {false, 0, 99, std::nullopt},        // holds it all: listen on for its reports
      {false, 0, 100, SendEnd::kTaken},    // ... but not for ever
      {false, 5, 999, std::nullopt},       // part still on its way, printer busy
      {true, 5, 999, std::nullopt},        // closed its side, may still be reading
      {false, 5, 1000, SendEnd::kStalled},  // took nothing for too long
      {true, 1, 1000, SendEnd::kStalled},
  };
  for (const auto& c : cases) {
    std::optional<SendEnd> got = drain_next(DrainView{c.closed, c.unacked, c.idle_ms}, lim);
    EXPECT_EQ(got.has_value(), c.want.has_value())
        << c.closed << " " << c.unacked << " " << c.idle_ms;
    if (got && c.want) {
      EXPECT_EQ(static_cast<int>(*got), static_cast<int>(*c.want)) << c.unacked << " " << c.idle_ms;
    }
  }
}

// Both ends of a loopback TCP connection: `sender` as the appliance holds it, `printer` served
// by `serve` in a thread of its own.
class Link {
 public:
  explicit Link(std::function<void(ld::UniqueFd& printer)> serve) {
    std::string err;
    ld::UniqueFd listener = ld::tcp_listen(0, 1, true, &err);
    EXPECT_TRUE(listener.valid()) << err;
    // A small receive window, so a printer that stops reading soon leaves bytes unacknowledged.
    int small = 4096;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sender = ld::tcp_connect("127.0.0.1", ld::local_port(listener.get()), 5000, &err);
    EXPECT_TRUE(sender.valid()) << err;
    printer_.reset(ld::tcp_accept(listener.get()));
    thread_ = std::thread([this, serve] { serve(printer_); });
  }
  ~Link() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  ld::UniqueFd sender;

 private:
  ld::UniqueFd printer_;
  std::thread thread_;
};

// Reads until the sender's half-close; all it got.
std::string read_to_end(int fd) {
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    got.append(buf, static_cast<size_t>(n));
  return got;
}

TEST(FinishSend, ListensUntilThePrinterHasTheWholeJob) {
  const std::string job(300000, 'j');
  const DrainLimits quick{200, 300};
  struct Case {
    const char* what;
    std::string report;  // said once the printer has the whole job
    bool hang_up;        // then closes (else stays connected until the sender lets go)
    bool cancel;         // the report cancels the job
    SendEnd want;
  } cases[] = {
      {"page report, then the printer closes", "@PJL USTATUS PAGE\r\nPAGE=1\r\n\f", true, false,
       SendEnd::kTaken},
      {"printer stays connected", "", false, false, SendEnd::kTaken},
      {"cancel after the last piece", "@PJL USTATUS JOB\r\nCANCEL\r\n", false, true,
       SendEnd::kCancelled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::atomic<bool> let_go{false};
    std::string got;
    Link link([&](ld::UniqueFd& printer) {
      got = read_to_end(printer.get());
      if (!c.report.empty()) ::send(printer.get(), c.report.data(), c.report.size(), MSG_NOSIGNAL);
      if (c.hang_up) return;
      while (!let_go) ::usleep(1000);
    });
    ASSERT_EQ(::send(link.sender.get(), job.data(), job.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(job.size()));
    std::string reports, err;
    SendEnd end = finish_send(
        link.sender.get(), quick,
        [&](std::string_view r) {
          reports.append(r);
          return c.cancel && reports.find("CANCEL") != std::string::npos;
        },
        &err);
    let_go = true;
    link.join();
    EXPECT_EQ(static_cast<int>(end), static_cast<int>(c.want)) << err;
    EXPECT_EQ(reports, c.report);
    EXPECT_TRUE(got == job) << got.size();
  }
}

TEST(FinishSend, PrinterThatResetsOrStopsTakingIsABrokenSend) {
  const DrainLimits quick{200, 300};
  {
    // Takes a little, then resets the connection with the rest unread.
    Link link([](ld::UniqueFd& printer) {
      ::usleep(50000);
      char first[1024];
      (void)::recv(printer.get(), first, sizeof first, 0);
      linger l{1, 0};
      ::setsockopt(printer.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
      printer.reset();
    });
    std::string job(20000, 'r');
    ASSERT_GT(::send(link.sender.get(), job.data(), job.size(), MSG_NOSIGNAL), 1024);
    std::string err;
    EXPECT_EQ(static_cast<int>(finish_send(
                  link.sender.get(), quick, [](std::string_view) { return false; }, &err)),
              static_cast<int>(SendEnd::kBroken));
    EXPECT_FALSE(err.empty());
  }
  // Stops reading with the window full: the end of the job never leaves this side.
  std::atomic<bool> let_go{false};
  Link link([&](ld::UniqueFd&) {
    while (!let_go) ::usleep(1000);
  });
  ::fcntl(link.sender.get(), F_SETFL, O_NONBLOCK);
  std::string block(65536, 's');
  while (::send(link.sender.get(), block.data(), block.size(), MSG_NOSIGNAL) > 0) {
  }
  std::string err;
  EXPECT_EQ(static_cast<int>(finish_send(
                link.sender.get(), quick, [](std::string_view) { return false; }, &err)),
            static_cast<int>(SendEnd::kStalled));
  let_go = true;
  EXPECT_EQ(err.rfind("the printer took none of the last ", 0), 0u) << err;
}

}  // namespace
