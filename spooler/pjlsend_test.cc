#include "spooler/pjlsend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/fsops.h"
#include "common/handles.h"
#include "common/net.h"
#include "gtest/gtest.h"
#include "spooler/printer_send.h"
#include "spooler/printq.h"
#include "testkit/capture.h"
#include "testkit/queue_capture.h"
#include "testkit/scenario.h"
#include "testkit/sim_printer.h"

namespace spooler {

namespace {

using testkit::slurp;
using testkit::spit;

using testkit::wire_header;

// One send of the job at `path` to the printer the endpoints name: 1 when the printer has it.
int send_once(const Config& cfg, const std::string& path) {
  return pjl_send(cfg, path, -1, send_timeout_seconds() * 1000) == SendResult::kSent ? 1 : 0;
}

TEST(PjlHeader, HexNameOfTheBaseNameAndTheEightPieces) {
  struct {
    std::string path, hex;
  } cases[] = {
      {"/print/printq/ab_0.prn", "61625f302e70726e"},
      {"ab_0.prn", "61625f302e70726e"},
      {"/x/My Job.prn", "4d79204a6f622e70726e"},
      {"/x/\xc3\xa9\x01.prn", "c3a9012e70726e"},
      {"/x/", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(pjl_hex_name(c.path), c.hex) << c.path;
  // Eight pieces; the five status requests are the commands that send_header reports.
  std::string joined;
  std::vector<bool> commands;
  for (const HeaderPiece& piece : pjl_job_header("/q/a.prn")) {
    joined += piece.text;
    commands.push_back(piece.command);
  }
  EXPECT_EQ(joined, wire_header("612e70726e"));
  EXPECT_EQ(commands, (std::vector<bool>{false, false, false, true, true, true, true, true}));
}

TEST(CancelWatch, FoundInOneReadOrSplitOverSeveral) {
  struct {
    std::vector<std::string> reads;
    bool cancelled;
  } cases[] = {
      {{"@PJL USTATUS JOB\r\nCANCEL\r\n"}, true},
      {{"@PJL USTATUS JOB\r\nCAN", "CEL\r\n"}, true},
      {{"C", "ANCEL"}, true},
      {{"CANCE", "L"}, true},
      {{"CA", "NC", "EL"}, true},
      {{"CANC", "xEL"}, false},
      {{"CANCEL"}, true},
      {{"cancel", "Cancel"}, false},
      {{"CANCE", "", "L"}, true},
      {{"xxxxxxxxxxCANCE", "yyyyyyyyyyyyy", "L"}, false},
  };
  for (const auto& c : cases) {
    CancelWatch w;
    bool seen = false;
    for (const std::string& r : c.reads) seen = w.feed(r) || seen;
    EXPECT_EQ(seen, c.cancelled) << testing::PrintToString(c.reads);
  }
}

// A printer's raw port on loopback: takes connections one after another, records each, and
// writes `say` once `say_after` bytes of a connection were read.
class FakePrinter {
 public:
  FakePrinter() {
    std::string err;
    listener_ = ld::tcp_listen(0, 4, true, &err);
    port_ = ld::local_port(listener_.get());
    ::setenv("LABELDOCK_PRINTER_HOST", "127.0.0.1", 1);
    ::setenv("LABELDOCK_PRINTER_RAW_PORT", std::to_string(port_).c_str(), 1);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakePrinter() {
    stop_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
    ::unsetenv("LABELDOCK_PRINTER_HOST");
    ::unsetenv("LABELDOCK_PRINTER_RAW_PORT");
  }
  void say(size_t after, std::string text) {
    say_after_ = after;
    say_ = std::move(text);
  }
  // Runs in the printer's thread once the first bytes of a connection arrived.
  std::function<void()> during_job;
  std::vector<std::string> jobs() {
    std::lock_guard<std::mutex> g(mu_);
    return jobs_;
  }

 private:
  void serve() {
    while (!stop_) {
      if (ld::wait_readable(listener_.get(), 50) != 1) continue;
      ld::UniqueFd c(ld::tcp_accept(listener_.get()));
      if (!c.valid()) continue;
      std::string got;
      bool said = say_.empty(), called = false;
      char buf[65536];
      for (;;) {
        size_t want = sizeof buf;
        if (!said && say_after_ > got.size()) want = std::min(want, say_after_ - got.size());
        ssize_t n = ::recv(c.get(), buf, want, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (!called && during_job) {
          called = true;
          during_job();
        }
        if (!said && got.size() >= say_after_) {
          said = true;
          ::send(c.get(), say_.data(), say_.size(), MSG_NOSIGNAL);
        }
      }
      std::lock_guard<std::mutex> g(mu_);
      jobs_.push_back(got);
    }
  }

  ld::UniqueFd listener_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  size_t say_after_ = 0;
  std::string say_;
  std::mutex mu_;
  std::vector<std::string> jobs_;
};

bool wait_jobs(FakePrinter& p, size_t n) {
  return testkit::wait_until([&] { return p.jobs().size() >= n; });
}

TEST(PrintPjl, HeaderThenTheFileExactly) {
  testkit::TempRoot root;
  testkit::QueueCapture io;
  FakePrinter printer;
  // Exactly one buffer, one byte more, and an empty file.
  for (size_t size : {kPjlFileBuffer, kPjlFileBuffer + 1, size_t{0}}) {
    std::string file = root("/print/printq/ab_0.prn"), data;
    for (size_t i = 0; i < size; ++i) data.push_back(static_cast<char>(i * 7 + 3));
    spit(file, data);
    size_t n = printer.jobs().size() + 1;
    io.out.take();
    EXPECT_EQ(send_once(io.cfg, file), 1);
    EXPECT_EQ(io.out.take(), "  IPv4: 127.0.0.1\n");
    ASSERT_TRUE(wait_jobs(printer, n));
    EXPECT_TRUE(printer.jobs()[n - 1] == wire_header("61625f302e70726e") + data) << size;
  }
}

TEST(PrintPjl, CancelMissingFileAndNoPrinter) {
  testkit::TempRoot root;
  testkit::QueueCapture io;
  std::string file = root("/print/printq/big_0.prn");
  // Larger than the socket buffers, so the report arrives while the job is still going out.
  spit(file, std::string(16 << 20, 'x'));
  {
    FakePrinter printer;
    printer.say(1000, "@PJL USTATUS JOB\r\nCANCEL\r\n");
    io.out.take();
    io.err.take();
    EXPECT_EQ(send_once(io.cfg, file), 0);
    std::string err = io.err.take();
    io.out.take();
    EXPECT_NE(err.find("read 26 bytes from printer <@PJL USTATUS JOB\r\nCANCEL\r\n>\n"), std::string::npos) << err;
    EXPECT_NE(err.find("Job cancelled\n\n"), std::string::npos) << err;

    // A missing job file: reported, and the printer never sees a connection for it.
    ASSERT_TRUE(wait_jobs(printer, 1));
    size_t before = printer.jobs().size();
    io.out.take();
    io.err.take();
    EXPECT_EQ(send_once(io.cfg, root("/print/printq/gone.prn")), 0);
    io.out.take();
    EXPECT_EQ(io.err.take(), "ERROR: File " + root("/print/printq/gone.prn") + " not found.\n");
    ::usleep(100000);
    EXPECT_EQ(printer.jobs().size(), before);
  }
  // Nothing listens; then a name that resolves to nothing.
  ::setenv("LABELDOCK_PRINTER_HOST", "127.0.0.1", 1);
  ::setenv("LABELDOCK_PRINTER_RAW_PORT", std::to_string(testkit::free_port()).c_str(), 1);
  for (const char* host : {"127.0.0.1", "no-such-printer.invalid"}) {
    ::setenv("LABELDOCK_PRINTER_HOST", host, 1);
    io.err.take();
    io.out.take();
    EXPECT_EQ(send_once(io.cfg, file), 0) << host;
    io.out.take();
    EXPECT_EQ(io.err.take(), "ERROR: Failed to connect to the printer!\n") << host;
  }
  ::unsetenv("LABELDOCK_PRINTER_HOST");
  ::unsetenv("LABELDOCK_PRINTER_RAW_PORT");
}

// A clock that stands still and runs a hook on every sleep: the send loop's waits cost nothing
// and the status document stays as fresh as it was written.
class StillClock : public ld::Clock {
 public:
  time_t now() override { return now_; }
  void sleep_ms(long ms) override {
    ++sleeps_;
    slept_ms_ += ms;
    if (on_sleep) on_sleep(sleeps_);
  }
  std::function<void(int)> on_sleep;
  int sleeps() const { return sleeps_; }

 private:
  time_t now_ = ::time(nullptr);
  int sleeps_ = 0;
  long slept_ms_ = 0;
};

class SendLoop : public testing::Test {
 protected:
  void SetUp() override { write_status("Online"); }

  void write_status(const std::string& state) {
    spit(printer_status_path(), R"({"system": {"SystemState": ")" + state + R"("}})");
    timespec t[2] = {{clock_.now(), 0}, {clock_.now(), 0}};
    ::utimensat(AT_FDCWD, printer_status_path().c_str(), t, 0);
  }
  // A spooled job whose file holds `data`.
  void queue(const std::string& name, const std::string& data, int copies = 1, int send_copies = 0,
             int spooled = 1) {
    queue_record r;
    r.from = r.to = 1;
    r.copies = copies;
    r.send_copies = send_copies;
    std::string path = root_("/print/printq/" + name);
    if (!data.empty()) spit(path, data);
    err_.take();
    ASSERT_EQ(add_to_queue(cfg_, path, name, r), 1);
    if (spooled) {
      queue_record done = get_printq(cfg_).back();
      ASSERT_EQ(printq_update_record(cfg_, done,
                                     [&] {
                                       queue_record d = done;
                                       d.spooled = 1;
                                       return d;
                                     }()),
                1);
    }
    err_.take();
  }
  std::vector<std::string> queued() {
    err_.take();
    std::vector<std::string> out;
    for (const queue_record& r : get_printq(cfg_)) out.push_back(ld::base_name(r.path));
    err_.take();
    return out;
  }
  // Runs the loop; its standard output.
  std::string run_loop(std::string* err = nullptr) {
    out_.take();
    err_.take();
    EXPECT_EQ(print_all(cfg_), 1);
    std::string e = err_.take();
    if (err) *err = e;
    return out_.take();
  }

  testkit::TempRoot root_;
  StillClock clock_;
  FakePrinter printer_;
  testkit::QueueCapture io_{&clock_};
  Config& cfg_ = io_.cfg;
  testkit::CapturedFile& out_ = io_.out;
  testkit::CapturedFile& err_ = io_.err;
};

TEST_F(SendLoop, CopiesSentAsTheRecordSays) {
  struct {
    int copies, send_copies;
    size_t sends;
  } cases[] = {{3, 1, 3}, {3, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  size_t total = 0;
  for (const auto& c : cases) {
    queue("j_0.prn", "JZJZ job", c.copies, c.send_copies);
    std::string out = run_loop();
    total += c.sends;
    ASSERT_TRUE(wait_jobs(printer_, total));
    EXPECT_EQ(printer_.jobs().size(), total) << c.copies << " " << c.send_copies;
    for (size_t i = 0; i < c.sends; ++i) {
      std::string line = "printing file: " + root_("/print/printq/j_0.prn") + " copy " + std::to_string(i) +
                         " of " + std::to_string(c.copies) + " (" + std::to_string(c.send_copies) + ")\n";
      EXPECT_NE(out.find(line), std::string::npos) << out;
    }
    EXPECT_NE(out.find("run rm " + root_("/print/printq/j_0.prn") + "\n"), std::string::npos) << out;
    EXPECT_TRUE(queued().empty());
    EXPECT_FALSE(ld::file_exists(root_("/print/printq/j_0.prn")));
  }
}

TEST_F(SendLoop, StopsAtAnUnspooledJobAndDropsAMissingFile) {
  queue("gone_0.prn", "");  // its file is missing
  queue("a_0.prn", "A");
  queue("b_0.spl", "B", 1, 0, /*spooled=*/0);
  std::string err;
  std::string out = run_loop(&err);
  EXPECT_NE(err.find("ERROR: File " + root_("/print/printq/gone_0.prn") + " not found.\n"), std::string::npos);
  EXPECT_NE(err.find("fatal error - failed to send print job\n"), std::string::npos);
  ASSERT_TRUE(wait_jobs(printer_, 1));
  EXPECT_EQ(printer_.jobs(), std::vector<std::string>{wire_header("615f302e70726e") + "A"});
  EXPECT_EQ(queued(), std::vector<std::string>{"b_0.spl"});
  // Two sends, a second's pause after each, then the unspooled head ends the loop.
  EXPECT_EQ(clock_.sleeps(), 2);
}

TEST_F(SendLoop, WaitsWhilePausedOrTheStatusIsNotOnline) {
  queue("p_0.prn", "P");
  ASSERT_EQ(pause_printing(cfg_), 1);
  write_status("Offline");
  clock_.on_sleep = [&](int n) {
    if (n == 2) write_status("Online");
    if (n == 4) resume_printing(cfg_);
  };
  std::string out = run_loop();
  EXPECT_EQ(out.substr(0, 36), "wait  0\nwait  0\nwait  0\nwait  0\ndump");
  ASSERT_TRUE(wait_jobs(printer_, 1));
  EXPECT_TRUE(queued().empty());
}

TEST_F(SendLoop, OthersChangeTheQueueDuringTheSend) {
  // While the head is being sent the job browser adds a job and deletes the one behind it. The
  // jobs are larger than the socket buffers, so their sends end after the printer's changes.
  const std::string big(16 << 20, 'A');
  queue("a_0.prn", big);
  queue("b_0.prn", "B");
  std::atomic<int> changes{0};
  printer_.during_job = [&] {
    if (changes++ > 0) return;
    queue_record r;
    r.copies = 1;
    add_to_queue(cfg_, root_("/print/printq/c_0.spl"), "c", r);
    printq_delete(cfg_, 1);
  };
  out_.take();
  err_.take();
  EXPECT_EQ(print_first(cfg_), 1);
  err_.take();
  out_.take();
  EXPECT_EQ(queued(), std::vector<std::string>{"c_0.spl"});

  // The head itself deleted during its send: nothing else is taken out for it.
  queue("d_0.prn", big);
  changes = 0;
  printer_.during_job = [&] {
    if (changes++ == 0) printq_delete(cfg_, 0);
  };
  // c_0 is unspooled at the head; move d_0 first.
  ASSERT_EQ(printq_moveup(cfg_, 1), 1);
  out_.take();
  err_.take();
  EXPECT_EQ(print_first(cfg_), 1);
  std::string err = err_.take();
  out_.take();
  EXPECT_NE(err.find(" is no longer in the queue\n"), std::string::npos) << err;
  EXPECT_EQ(queued(), std::vector<std::string>{"c_0.spl"}) << err;
}

TEST_F(SendLoop, NothingIsSentWhenTheHeadCannotBeRecorded) {
  queue("a_0.prn", "A");
  // The rewrite cannot be made: a folder stands where its temporary file would go.
  const std::string blocker = printq_filename() + ".tmp" + std::to_string(::getpid());
  ASSERT_TRUE(ld::make_dirs(blocker));
  out_.take();
  err_.take();
  EXPECT_EQ(print_first(cfg_), 0);
  std::string err = err_.take();
  out_.take();
  EXPECT_NE(err.find("print_first: the queue cannot be written, " + root_("/print/printq/a_0.prn") + " is not sent\n"),
            std::string::npos)
      << err;
  ::rmdir(blocker.c_str());
  ::usleep(100000);
  EXPECT_TRUE(printer_.jobs().empty());
}

// Sets fields of the head record as a sender that died at some point would have left them.
void set_head(const Config& cfg, int printing, int copies_sent) {
  queue_record was = get_printq(cfg).at(0);
  queue_record r = was;
  r.printing = printing;
  r.copies_sent = copies_sent;
  EXPECT_EQ(printq_update_record(cfg, was, r), 1);
}

TEST_F(SendLoop, ARestartSendsOnlyWhatItCannotKnowWasPrinted) {
  struct {
    const char* what;
    int copies, send_copies, printing, copies_sent;
    std::vector<std::string> lines;  // "printing file" copy numbers sent, in order
  } cases[] = {
      {"killed during the send of copy 1 of 3", 3, 1, 1, 2, {"copy 1 of 3 (1)", "copy 2 of 3 (1)"}},
      {"killed after copy 1 of 3 went out", 3, 1, 0, 2, {"copy 2 of 3 (1)"}},
      {"killed after the last copy went out", 3, 1, 0, 3, {}},
      {"killed during the one send", 1, 0, 1, 1, {"copy 0 of 1 (0)"}},
      {"killed after the one send", 1, 0, 0, 1, {}},
      {"never sent", 2, 0, 0, 0, {"copy 0 of 2 (0)"}},
  };
  size_t total = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    queue("j_0.prn", "J", c.copies, c.send_copies);
    set_head(cfg_, c.printing, c.copies_sent);
    std::string err;
    std::string out = run_loop(&err);
    total += c.lines.size();
    ASSERT_TRUE(wait_jobs(printer_, total));
    ::usleep(50000);
    EXPECT_EQ(printer_.jobs().size(), total);
    EXPECT_EQ(testkit::count_of(out, "printing file: "), static_cast<int>(c.lines.size())) << out;
    for (const std::string& l : c.lines)
      EXPECT_NE(out.find("printing file: " + root_("/print/printq/j_0.prn") + " " + l + "\n"), std::string::npos) << out;
    if (c.lines.empty()) {
      EXPECT_NE(err.find("print_first: " + root_("/print/printq/j_0.prn") + " went out before, it is only taken out of the queue\n"),
                std::string::npos)
          << err;
    }
    EXPECT_TRUE(queued().empty());
    EXPECT_FALSE(ld::file_exists(root_("/print/printq/j_0.prn")));
  }
}

TEST_F(SendLoop, AHeadThatAnotherSenderIsSendingIsLeftAlone) {
  queue("a_0.prn", "A");
  set_head(cfg_, 1, 1);
  {
    // Another pjlsend has the job open and locked while it sends it.
    ld::UniqueFd other(::open(root_("/print/printq/a_0.prn").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(other.get(), LOCK_EX), 0);
    std::string err;
    out_.take();
    err_.take();
    EXPECT_EQ(print_first(cfg_), 0);
    err = err_.take();
    out_.take();
    EXPECT_NE(err.find("print_first: " + root_("/print/printq/a_0.prn") + " is being sent by another program\n"),
              std::string::npos)
        << err;
    ::usleep(50000);
    EXPECT_TRUE(printer_.jobs().empty());
  }
  // Its sender died: the kernel let go of the lock, the send is made again.
  run_loop();
  ASSERT_TRUE(wait_jobs(printer_, 1));
  EXPECT_TRUE(queued().empty());
}

TEST(SendTimeout, FromTheEnvironmentWithinBounds) {
  struct {
    const char* value;
    int seconds;
  } cases[] = {{nullptr, 300}, {"", 300}, {"2", 2}, {"86400", 86400}, {"86401", 300}, {"0", 300},
               {"-5", 300},    {"5s", 300}, {" 5", 300}, {"999999", 300}};
  for (const auto& c : cases) {
    if (c.value != nullptr) ::setenv("LABELDOCK_SEND_TIMEOUT", c.value, 1);
    else ::unsetenv("LABELDOCK_SEND_TIMEOUT");
    EXPECT_EQ(send_timeout_seconds(), c.seconds) << (c.value ? c.value : "unset");
  }
  ::unsetenv("LABELDOCK_SEND_TIMEOUT");
}

}  // namespace

}  // namespace spooler
