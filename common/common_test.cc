#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/endpoints.h"
#include "common/esc_sh.h"
#include "common/fsops.h"
#include "common/paths.h"
#include "common/run.h"
#include "common/ui_log.h"
#include "gtest/gtest.h"
#include "testkit/capture.h"
#include "testkit/scenario.h"

namespace {

TEST(Bytes, BigEndianValuesTakeBytesAsUnsigned) {
  const unsigned char b[] = {0xFF, 0x80, 0x01, 0x7F};
  EXPECT_EQ(char2val(b, 1), 0xFFu);
  EXPECT_EQ(char2val(b, 2), 0xFF80u);
  EXPECT_EQ(val32(b), 0xFF80017Fu);
  EXPECT_EQ(val16(b + 2), 0x017F);
  unsigned char out[4];
  write32(0xDEADBEEF, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 4), "\xDE\xAD\xBE\xEF");
  ld::put_le32(0x11223344, out);
  EXPECT_EQ(out[0], 0x44);
  EXPECT_EQ(ld::get_le32(out), 0x11223344u);
}

TEST(EscSh, BackslashesExactlyTheShellSpecials) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"plain-name_1.prn", "plain-name_1.prn"},
      {"a b", "a\\ b"},
      {"$x&y'z", "\\$x\\&y\\'z"},
      {"(a)=b^c`d{e}", "\\(a\\)\\=b\\^c\\`d\\{e\\}"},
      {"semi;colon\"quote", "semi;colon\"quote"},  // not in the set: left as they are
  };
  for (const auto& c : cases) EXPECT_EQ(ld::esc_sh(c.in), c.out) << c.in;
  EXPECT_EQ(ld::shell_quote("it's"), "'it'\\''s'");
}

TEST(Paths, RootPrefixGoesBeforeAbsolutePathsOnly) {
  ::setenv("LABELDOCK_ROOT", "/sandbox/", 1);
  EXPECT_EQ(ld::rooted("/print/prns/"), "/sandbox/print/prns/");
  EXPECT_EQ(ld::rooted("tags.json"), "tags.json");
  ::unsetenv("LABELDOCK_ROOT");
  EXPECT_EQ(ld::rooted("/print/prns/"), "/print/prns/");
}

TEST(Endpoints, DefaultsAndOverrides) {
  ::unsetenv("LABELDOCK_RECEIVER_PORT");
  EXPECT_EQ(ld::receiver_port(), 5001);
  ::setenv("LABELDOCK_RECEIVER_PORT", "15001", 1);
  EXPECT_EQ(ld::receiver_port(), 15001);
  ::setenv("LABELDOCK_RECEIVER_PORT", "70000", 1);  // nonsense falls back to the default
  EXPECT_EQ(ld::receiver_port(), 5001);
  ::unsetenv("LABELDOCK_RECEIVER_PORT");
  EXPECT_EQ(ld::printer_host(), "labelprinter");
}

TEST(FsOps, CopyMoveAtomicWriteAndDirs) {
  testkit::TempRoot root;
  std::string d = root("/a/b/c");
  ASSERT_TRUE(ld::make_dirs(d));
  ASSERT_TRUE(ld::make_dirs(d));  // again: already there is fine
  ASSERT_TRUE(ld::write_file_atomic(d + "/f", "hello"));
  EXPECT_EQ(testkit::slurp(d + "/f"), "hello");
  ASSERT_TRUE(ld::write_file_atomic(d + "/f", "bye"));
  EXPECT_EQ(testkit::slurp(d + "/f"), "bye");
  EXPECT_EQ(testkit::list_dir(d), std::vector<std::string>{"f"});  // no temporary left
  ASSERT_TRUE(ld::copy_file(d + "/f", d + "/g"));
  ASSERT_TRUE(ld::move_file(d + "/g", root("/h")));
  EXPECT_FALSE(ld::file_exists(d + "/g"));
  EXPECT_EQ(ld::file_size(root("/h")), 3);
  std::string err;
  EXPECT_FALSE(ld::copy_file(root("/missing"), root("/x"), &err));
  EXPECT_NE(err.find("/missing"), std::string::npos);
  EXPECT_TRUE(ld::remove_file(root("/missing")));
  EXPECT_FALSE(ld::make_dirs(d + "/f/sub", &err));  // a file in the way
  EXPECT_EQ(ld::base_name("/x/y/job.prn"), "job.prn");
  EXPECT_EQ(ld::strip_extension("job.v2.prn"), "job.v2");
  EXPECT_EQ(ld::strip_extension(".hidden"), ".hidden");
}

TEST(FsOps, DirNameAndFolderSync) {
  struct Case { const char* path; const char* dir; };
  for (const Case& c : {Case{"a/b/c", "a/b"}, Case{"/x", "/"}, Case{"name", "."},
                        Case{"/var/spool/q", "/var/spool"}}) {
    EXPECT_EQ(ld::dir_name(c.path), c.dir) << c.path;
  }
  EXPECT_TRUE(ld::fsync_dir("."));
  std::string err;
  EXPECT_FALSE(ld::fsync_dir("/nonexistent-folder-for-sync", &err));
  EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
  // A write into a folder that vanished reports the failure instead of success.
  EXPECT_FALSE(ld::write_file_atomic("/nonexistent-folder-for-sync/f", "x", &err));
}

TEST(Run, ArgumentsAndInputArriveVerbatimWithoutAShell) {
  testkit::TempRoot root;
  std::string out;
  ld::RunOptions opt;
  opt.discard_output = false;
  opt.capture = &out;
  opt.stdin_text = "$(touch " + root("/pwned") + ") `id` ; \"q\" 'x'\n";
  EXPECT_EQ(ld::run_program({"/bin/cat"}, opt), 0);
  EXPECT_EQ(out, opt.stdin_text);
  out.clear();
  opt.stdin_text.clear();
  EXPECT_EQ(ld::run_program({"/bin/echo", "a;b", "$(x)"}, opt), 0);
  EXPECT_EQ(out, "a;b $(x)\n");
  EXPECT_FALSE(ld::file_exists(root("/pwned")));
}

TEST(Run, MissingProgramFailingProgramAndHangingProgram) {
  std::string err;
  EXPECT_EQ(ld::run_program({"/nonexistent/prog"}, {}, &err), -1);
  EXPECT_NE(err.find("/nonexistent/prog"), std::string::npos);
  EXPECT_EQ(ld::run_program({"/bin/sh", "-c", "exit 3"}), 3);
  ld::RunOptions opt;
  opt.timeout_ms = 200;
  EXPECT_EQ(ld::run_program({"/bin/sleep", "30"}, opt, &err), 128 + 9);
}

// A program that hangs is killed at the deadline whatever it is doing, also while its output is
// captured (as a discovery run of ping is), and the caller does not wait for what the program
// leaves running. Both ways of watching for the end: pidfd and the inherited end pipe.
TEST(Run, CapturedProgramThatHangsIsKilledAtTheDeadline) {
  const std::string big_input(1 << 20, 'i');  // more than a pipe holds
  struct {
    const char* what;
    std::vector<std::string> argv;
    std::string input;
    int timeout_ms;
    int status;
    std::string out;
    bool stopped;
  } cases[] = {
      {"prints, then hangs", {"/bin/sh", "-c", "echo started; exec sleep 30"}, "", 300, 128 + 9, "started\n", true},
      {"closes its output, then hangs", {"/bin/sh", "-c", "echo x; exec >&-; exec sleep 30"}, "", 300, 128 + 9, "x\n",
       true},
      {"hangs without reading its input", {"/bin/sleep", "30"}, big_input, 300, 128 + 9, "", true},
      {"prints and fails", {"/bin/sh", "-c", "printf 'a\\nb'; exit 4"}, "", 10000, 4, "a\nb", false},
      {"echoes its input", {"/bin/cat"}, big_input, 30000, 0, big_input, false},
  };
  for (bool without_pidfd : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (without_pidfd ? ", end pipe" : ", pidfd"));
      std::string out, err;
      ld::RunOptions opt;
      opt.discard_output = false;
      opt.capture = &out;
      opt.stdin_text = c.input;
      opt.timeout_ms = c.timeout_ms;
      opt.without_pidfd = without_pidfd;
      EXPECT_EQ(ld::run_program(c.argv, opt, &err), c.status);
      EXPECT_TRUE(out == c.out) << out.size();
      EXPECT_EQ(err.find("took too long and was stopped") != std::string::npos, c.stopped) << err;
    }
  }
}

TEST(Run, WhatTheProgramLeavesRunningIsNotWaitedFor) {
  std::string out, err;
  ld::RunOptions opt;
  opt.discard_output = false;
  opt.capture = &out;
  opt.timeout_ms = 20000;
  // The background sleep keeps the output pipe open long after the program ended.
  EXPECT_EQ(ld::run_program({"/bin/sh", "-c", "sleep 60 & echo $!"}, opt, &err), 0);
  EXPECT_EQ(err, "");
  int left = std::atoi(out.c_str());
  ASSERT_GT(left, 1) << out;
  EXPECT_EQ(::kill(left, SIGKILL), 0);
}

TEST(Run, ProgramThatDoesNotReadItsInputDoesNotKillTheCaller) {
  ld::RunOptions opt;
  opt.stdin_text.assign(1 << 20, 'x');  // more than a pipe holds
  EXPECT_EQ(ld::run_program({"/bin/true"}, opt), 0);
}

// Bit 13 (SIGPIPE) of a "SigIgn:" mask as /proc/PID/status prints it.
bool sigpipe_ignored_in(const std::string& status) {
  size_t at = status.find("SigIgn:");
  if (at == std::string::npos) return false;
  unsigned long long mask = std::strtoull(status.c_str() + at + 7, nullptr, 16);
  return (mask >> (SIGPIPE - 1)) & 1;
}

TEST(Run, TheCallerIgnoresSigpipeWhileTheProgramsItStartsGetTheDefault) {
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);  // the test binaries' main sets the programs' rule
  std::string status;
  ld::RunOptions opt;
  opt.discard_output = false;
  opt.capture = &status;
  ASSERT_EQ(ld::run_program({"/bin/grep", "SigIgn", "/proc/self/status"}, opt), 0);
  EXPECT_FALSE(sigpipe_ignored_in(status)) << status;
  EXPECT_TRUE(sigpipe_ignored_in("SigIgn:\t0000000000001000\n"));  // the reading itself
}

TEST(UiLog, HandsTheTextToTheLogClientUnchanged) {
  testkit::TempRoot root;
  root.install_recording_log_client();
  ld::UiLog events;
  events.log("capturing [$(touch " + root("/pwned") + ") `reboot`; \"x\"]");
  events.log("second");
  EXPECT_EQ(root.log_client_output(),
            "capturing [$(touch " + root("/pwned") + ") `reboot`; \"x\"]\nsecond\n");
  EXPECT_FALSE(ld::file_exists(root("/pwned")));
}

// A client left running is waited for before the next line, so the lines keep their order, and
// at the latest when the run's log goes.
TEST(UiLog, AClientLeftRunningKeepsTheLinesInOrder) {
  testkit::TempRoot root;
  root.install_recording_log_client();
  {
    ld::UiLog events;
    events.start("first");
    events.start("second");
    events.log("third");
    events.start("fourth");
  }
  EXPECT_EQ(root.log_client_output(), "first\nsecond\nthird\nfourth\n");
}

// The receiver's connections log through one UiLog at once, one of them leaving its client
// running; every line arrives whole.
TEST(UiLog, ThreadsSharingALogLoseNoLine) {
  testkit::TempRoot root;
  root.install_recording_log_client();
  {
    ld::UiLog events;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&events, t] {
        for (int i = 0; i < 5; ++i) {
          const std::string text = "t" + std::to_string(t) + " line " + std::to_string(i);
          if (t == 0) events.start(text);
          else events.log(text);
        }
      });
    }
    for (std::thread& th : threads) th.join();
  }
  std::string got = root.log_client_output();
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 5; ++i) {
      const std::string line = "t" + std::to_string(t) + " line " + std::to_string(i) + "\n";
      EXPECT_NE(got.find(line), std::string::npos) << line << got;
    }
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 20) << got;
}

// A line break inside a text (a job name can carry one) must not make a second record.
TEST(UiLog, LineBreaksInATextNeverMakeASecondRecord) {
  testkit::TempRoot root;
  root.install_recording_log_client();
  const struct {
    std::string text, line;
  } cases[] = {
      {"capturing [x\nwriting captured /etc/passwd]", "capturing [x?writing captured /etc/passwd]\n"},
      {"a\r\nb\rc", "a??b?c\n"},
      {"ends in a break\n", "ends in a break?\n"},
      {"", "\n"},
  };
  std::string want;
  ld::UiLog events;
  for (const auto& c : cases) {
    events.log(c.text);
    want += c.line;
  }
  EXPECT_EQ(root.log_client_output(), want);
}

// Standard error of the calls in `fn`, through a temporary file in place of descriptor 2.
template <typename Fn>
std::string stderr_of(const testkit::TempRoot& root, Fn fn) {
  std::fflush(stderr);
  int saved = ::dup(2);
  int fd = ::open(root("/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(fd, 2);
  ::close(fd);
  fn();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string text;
  ld::read_file(root("/stderr"), &text);
  return text;
}

// A client that cannot be started loses the line and says so once per log, on the log's own
// stream; one that runs says nothing. A line given no sink goes through a log of its own.
TEST(UiLog, AClientThatCannotStartIsReportedOnce) {
  testkit::TempRoot root;
  testkit::CapturedFile err;
  {
    ld::UiLog events(err.get());
    events.log("nobody listens");
    events.log("still nobody");
  }
  std::string said = err.text();
  EXPECT_NE(said.find("event log: cannot run " + root("/home/pi/log_client")), std::string::npos) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
  said = stderr_of(root, [] {
    ld::log_event(nullptr, "lost");
    ld::log_event(nullptr, "lost again");
  });
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
  root.install_recording_log_client();
  std::vector<std::string> sunk;
  ld::log_event([&sunk](std::string_view t) { sunk.emplace_back(t); }, "to the sink");
  EXPECT_EQ(sunk, std::vector<std::string>{"to the sink"});
  EXPECT_EQ(stderr_of(root, [] { ld::log_event(nullptr, "heard"); }), "");
  EXPECT_EQ(root.log_client_output(), "heard\n");
}

// The client left running is started by a thread of its own: one that turns out not to start
// (executable, but not a program) is still reported, by the time the caller asks.
TEST(UiLog, AClientLeftRunningThatCannotStartIsReported) {
  testkit::TempRoot root;
  const std::string client = root("/home/pi/log_client");
  testkit::spit(client, std::string("\x7f" "ELF not really", 14));
  ::chmod(client.c_str(), 0755);
  // Under user-mode emulation (the ARM tests under qemu-arm) a start whose program cannot run
  // is not told back to the caller: the child ends with 127 instead.
  pid_t probe = 0;
  char* probe_argv[] = {const_cast<char*>(client.c_str()), nullptr};
  if (::posix_spawn(&probe, client.c_str(), nullptr, nullptr, probe_argv, environ) == 0) {
    ::waitpid(probe, nullptr, 0);
    GTEST_SKIP() << "this platform does not report a program that cannot run at its start";
  }
  testkit::CapturedFile err;
  ld::UiLog events(err.get());
  events.start("lost");
  events.started();
  EXPECT_NE(err.text().find("event log: cannot run " + client), std::string::npos) << err.text();
}

}  // namespace
