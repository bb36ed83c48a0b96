#include "spooler/printq.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/fsops.h"
#include "common/handles.h"
#include "gtest/gtest.h"
#include "testkit/capture.h"
#include "testkit/queue_capture.h"
#include "testkit/scenario.h"

namespace spooler {

namespace {

constexpr time_t kT0 = 1700000000;  // Tue Nov 14 22:13:20 2023 UTC

// A sandbox root, UTC for ctime texts, and a fake clock for the lock retries.
class Queue : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
  }

  static queue_record job(const std::string& path, const std::string& name = "job") {
    queue_record r;
    set_record_text(r.path, path);
    set_record_text(r.displayname, name);
    r.added_time = static_cast<int32_t>(kT0);
    r.from = 1;
    r.to = 2;
    r.copies = 1;
    return r;
  }
  std::string q(const std::string& name) const { return printq_dir() + name; }
  void write_quiet(const std::vector<queue_record>& recs) { ASSERT_EQ(write_pq(cfg_, recs), 1); }
  std::vector<std::string> paths() {
    err_.take();
    std::vector<queue_record> recs = get_printq(cfg_);
    err_.take();
    std::vector<std::string> out;
    for (const auto& r : recs) out.push_back(r.path);
    return out;
  }
  std::string queue_bytes() { return testkit::slurp(printq_filename()); }

  testkit::TempRoot root_;
  ld::FakeClock clock_{kT0};
  // The store under the sandbox root, on the fake clock, its messages read back from out_, err_.
  testkit::QueueCapture io_{&clock_};
  Config& cfg_ = io_.cfg;
  testkit::CapturedFile& out_ = io_.out;
  testkit::CapturedFile& err_ = io_.err;
};

// A child process; output buffered so far is written first, so the child cannot repeat it.
pid_t start_child() {
  std::fflush(nullptr);
  return ::fork();
}

// A process id that belongs to no running process: a child that has exited and been reaped.
int dead_pid() {
  pid_t pid = start_child();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

void set_age(const std::string& path, time_t now, int age) {
  struct timespec ts[2] = {{now - age, 0}, {now - age, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(Queue, RecordLayoutGoldenBytes) {
  queue_record r;
  set_record_text(r.path, "/print/printq/a_0.spl");
  set_record_text(r.displayname, "Label");
  int32_t* fields[] = {&r.added_time, &r.printing, &r.print_time, &r.spooled, &r.quality,
                       &r.disp,       &r.from,     &r.to,         &r.copies,  &r.copies_sent,
                       &r.collate,    &r.send_copies};
  for (int k = 0; k < 12; ++k) *fields[k] = 0x0A0B0C00 + k;
  r.quality = -2;
  r.ntags = 2;
  r.tags[0] = {0x71, 3};
  r.tags[49] = {0x8514, -1};
  r.serial = 0x11223344;
  unsigned char b[kQueueRecordSize];
  std::memset(b, 0xEE, sizeof b);
  encode_queue_record(r, b);

  struct Field {
    const char* name;
    size_t offset;
    std::vector<unsigned char> bytes;
  } golden[] = {
      {"path", 0, {'/', 'p', 'r', 'i', 'n', 't'}},
      {"path end", 20, {'l', 0, 0}},
      {"path after its NUL", 21, std::vector<unsigned char>(175, 0)},
      {"serial behind the path", 196, {0x44, 0x33, 0x22, 0x11}},
      {"displayname", 200, {'L', 'a', 'b', 'e', 'l', 0}},
      {"displayname last", 399, {0}},
      {"added_time", 400, {0x00, 0x0C, 0x0B, 0x0A}},
      {"printing", 404, {0x01, 0x0C, 0x0B, 0x0A}},
      {"print_time", 408, {0x02, 0x0C, 0x0B, 0x0A}},
      {"spooled", 412, {0x03, 0x0C, 0x0B, 0x0A}},
      {"quality", 416, {0xFE, 0xFF, 0xFF, 0xFF}},
      {"disp", 420, {0x05, 0x0C, 0x0B, 0x0A}},
      {"from", 424, {0x06, 0x0C, 0x0B, 0x0A}},
      {"to", 428, {0x07, 0x0C, 0x0B, 0x0A}},
      {"copies", 432, {0x08, 0x0C, 0x0B, 0x0A}},
      {"copies_sent", 436, {0x09, 0x0C, 0x0B, 0x0A}},
      {"collate", 440, {0x0A, 0x0C, 0x0B, 0x0A}},
      {"send_copies", 444, {0x0B, 0x0C, 0x0B, 0x0A}},
      {"ntags", 448, {0x02, 0, 0, 0}},
      {"tags[0]", 452, {0x71, 0, 0, 0, 0x03, 0, 0, 0}},
      {"tags[1]", 460, {0, 0, 0, 0, 0, 0, 0, 0}},
      {"tags[49]", 844, {0x14, 0x85, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& f : golden)
    EXPECT_EQ(std::vector<unsigned char>(b + f.offset, b + f.offset + f.bytes.size()), f.bytes) << f.name;

  queue_record back = decode_queue_record(b);
  unsigned char again[kQueueRecordSize];
  encode_queue_record(back, again);
  EXPECT_EQ(std::memcmp(b, again, sizeof b), 0);
  EXPECT_STREQ(back.displayname, "Label");
  EXPECT_EQ(back.serial, 0x11223344u);

  // A path that leaves no room keeps all its 199 bytes; the record then has no serial.
  for (size_t len : {kQueuePathRoom, kQueuePathRoom + 1, size_t{199}}) {
    set_record_text(r.path, std::string(len, 'p'));
    encode_queue_record(r, b);
    back = decode_queue_record(b);
    EXPECT_EQ(std::strlen(back.path), len);
    EXPECT_EQ(back.serial, len <= kQueuePathRoom ? 0x11223344u : 0u) << len;
    EXPECT_EQ(b[199], len <= kQueuePathRoom ? 0x11 : 0) << len;
  }

  // Damaged bytes: texts without a NUL end at 199 bytes, ntags stays within the tags.
  std::memset(b, 'x', 400);
  ld::put_le32(0x7FFFFFFF, b + 448);
  back = decode_queue_record(b);
  EXPECT_EQ(std::strlen(back.path), 199u);
  EXPECT_EQ(std::strlen(back.displayname), 199u);
  EXPECT_EQ(back.ntags, 50);
  ld::put_le32(static_cast<uint32_t>(-5), b + 448);
  EXPECT_EQ(decode_queue_record(b).ntags, 0);
}

TEST_F(Queue, ReadingCountsWholeRecordsOnly) {
  err_.take();
  EXPECT_TRUE(get_printq(cfg_).empty());
  EXPECT_EQ(err_.take(), "cannot open print queue " + printq_filename() + "\n");

  write_quiet({job(q("a_0.spl")), job(q("b_1.spl")), job(q("c_2.spl"))});
  std::string whole = queue_bytes();
  ASSERT_EQ(whole.size(), 3 * kQueueRecordSize);
  std::string expected;
  err_.take();
  for (size_t n = whole.size() + 1; n-- > 0;) {
    ASSERT_EQ(::truncate(printq_filename().c_str(), static_cast<off_t>(n)), 0);
    std::vector<queue_record> recs = get_printq(cfg_);
    EXPECT_EQ(recs.size(), n / kQueueRecordSize) << n;
    if (!recs.empty()) {
      std::string last = std::string(1, "abc"[recs.size() - 1]) + "_" + std::to_string(recs.size() - 1) + ".spl";
      EXPECT_STREQ(recs.back().path, q(last).c_str());
    }
    expected += "Number of jobs in printq = " + std::to_string(n / kQueueRecordSize) + "\n";
  }
  EXPECT_EQ(err_.take(), expected);
  testkit::spit(printq_filename(), whole.substr(0, kQueueRecordSize + 1));  // 853 bytes: one job
  EXPECT_EQ(paths(), std::vector<std::string>{q("a_0.spl")});
}

TEST_F(Queue, AddFillsTheRecordAndCutsNames) {
  struct Case {
    const char* given;
    const char* stored;
  } names[] = {
      {"label.prn", "label"}, {"ab", "ab"}, {"abc", "abc"}, {".prn", ""},
      {"photo.jpg", "photo"}, {"x.jpeg", "x.jpeg"}, {"a.b.c", "a"},
  };
  queue_record prepared = job("ignored");
  prepared.quality = 3;
  prepared.copies = 4;
  prepared.collate = 1;
  prepared.ntags = 1;
  prepared.tags[0] = {0x71, 2};
  prepared.printing = prepared.spooled = prepared.copies_sent = prepared.print_time = 9;
  for (const auto& c : names) {
    clock_.advance(1);
    ASSERT_EQ(add_to_queue(cfg_, q("j.spl"), c.given, prepared), 1);
  }
  std::string long_path = q("") + std::string(250 - q("").size(), 'p');
  ASSERT_EQ(add_to_queue(cfg_, long_path, std::string(250, 'n'), prepared), 1);
  EXPECT_FALSE(ld::file_exists(queue_lock()));  // released

  err_.take();
  std::vector<queue_record> recs = get_printq(cfg_);
  err_.take();
  ASSERT_EQ(recs.size(), std::size(names) + 1);
  for (size_t i = 0; i < std::size(names); ++i) {
    EXPECT_STREQ(recs[i].displayname, names[i].stored);
    EXPECT_EQ(recs[i].added_time, kT0 + 1 + static_cast<time_t>(i));
  }
  const queue_record& r = recs.back();
  EXPECT_EQ(std::string(r.path), long_path.substr(0, 199));
  EXPECT_EQ(std::string(r.displayname), std::string(199, 'n'));
  EXPECT_EQ(r.printing + r.spooled + r.copies_sent + r.print_time, 0);
  EXPECT_EQ(r.quality, 3);
  EXPECT_EQ(r.copies, 4);
  EXPECT_EQ(r.collate, 1);
  EXPECT_EQ(r.ntags, 1);
  EXPECT_EQ(r.tags[0].value, 2);
}

TEST_F(Queue, LockTextAndRetries) {
  cfg_.process_name = "pjlsend";
  ASSERT_EQ(get_qlock(cfg_), 1);
  EXPECT_EQ(testkit::slurp(queue_lock()),
            "pjlsend " + std::to_string(::getpid()) + ":Tue Nov 14 22:13:20 2023\n\n");

  // Held (by this very process, which is alive): 6 tries, 5 messages, 5 seconds, then 0.
  std::string before = testkit::slurp(queue_lock());
  err_.take();
  EXPECT_EQ(get_lock(cfg_, queue_lock()), 0);
  EXPECT_EQ(err_.take(), repeat("LOCK EXISTS " + queue_lock() + "\n", 5));
  EXPECT_EQ(clock_.slept_ms(), 5000);
  EXPECT_EQ(testkit::slurp(queue_lock()), before);

  // Every locked operation gives up and changes nothing.
  write_quiet({job(q("a_0.spl")), job(q("b_1.spl"))});
  std::string bytes = queue_bytes();
  err_.take();
  EXPECT_EQ(add_to_queue(cfg_, q("c.spl"), "c", job("")), 0);
  EXPECT_EQ(printq_delete(cfg_, 0), 0);
  EXPECT_EQ(printq_moveup(cfg_, 1), 0);
  EXPECT_EQ(printq_movedown(cfg_, 0), 0);
  EXPECT_EQ(printq_update_record(cfg_, job(q("a_0.spl")), job(q("z.prn"))), kMergeBusy);
  EXPECT_EQ(printq_remove_record(cfg_, job(q("a_0.spl"))), kMergeBusy);
  EXPECT_EQ(printq_remove_unnamed(cfg_, q("a_0.spl")), kMergeBusy);
  err_.take();
  EXPECT_EQ(queue_bytes(), bytes);

  EXPECT_EQ(remove_qlock(cfg_), 1);
  EXPECT_FALSE(ld::file_exists(queue_lock()));
  EXPECT_EQ(remove_qlock(cfg_), 1);
}

TEST_F(Queue, StaleLocksAreBrokenOnlyWhenTheirProcessIsGone) {
  const time_t now = ::time(nullptr);
  const std::string dead = std::to_string(dead_pid());
  const std::string alive = std::to_string(::getpid());
  const std::string gone = "LOCK STALE " + queue_lock() + ": process " + dead + " is gone, lock removed\n";
  auto ownerless = [&](int age) {
    return "LOCK STALE " + queue_lock() + ": no owner in it for " + std::to_string(age) + " seconds, lock removed\n";
  };
  struct Case {
    const char* what;
    std::string text;
    int age;
    int exists_messages;  // "LOCK EXISTS" lines before the outcome
    std::string stale;    // the message that breaks it; empty: it is never broken
  } cases[] = {
      {"dead and old", "spoold " + dead + ":Tue Nov 14 22:13:20 2023\n\n", 10, 0, gone},
      {"dead but fresh: waits until it is old enough", "spoold " + dead + ":Tue Nov 14 22:13:20 2023\n\n", 0, 3, gone},
      {"dead, name with blanks", "/opt/my prog " + dead + ":Tue Nov 14 22:13:20 2023\n\n", 10, 0, gone},
      {"alive", "jobdesk " + alive + ":Tue Nov 14 22:13:20 2023\n\n", 100, 5, ""},
      // A writer killed between creating the lock and writing its text.
      {"empty and old", "", kOwnerlessLockAge, 0, ownerless(kOwnerlessLockAge)},
      {"empty, old enough after 4 waits", "", kOwnerlessLockAge - 4, 4, ownerless(kOwnerlessLockAge)},
      {"empty and young: could be being written", "", 0, 5, ""},
      {"no process id", "garbage", 100, 0, ownerless(100)},
      {"only a time of day", "x 12:34:56\n", 100, 0, ownerless(100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ld::FakeClock fake(now);
    cfg_.clock = &fake;
    testkit::spit(queue_lock(), c.text);
    set_age(queue_lock(), now, c.age);
    err_.take();
    EXPECT_EQ(get_qlock(cfg_), c.stale.empty() ? 0 : 1);
    std::string err = err_.take();
    EXPECT_EQ(err, repeat("LOCK EXISTS " + queue_lock() + "\n", c.exists_messages) + c.stale);
    if (!c.stale.empty()) EXPECT_NE(testkit::slurp(queue_lock()), c.text);  // ours now
    else EXPECT_EQ(testkit::slurp(queue_lock()), c.text);
    ld::remove_file(queue_lock());
  }

  // An empty lock whose writer is still at work (it holds flock on it) is never broken.
  ld::FakeClock fake_old(now);
  cfg_.clock = &fake_old;
  testkit::spit(queue_lock(), "");
  set_age(queue_lock(), now, 100);
  {
    ld::UniqueFd writer(::open(queue_lock().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(writer.get(), LOCK_EX), 0);
    pid_t pid = start_child();
    if (pid == 0) ::_exit(get_qlock(cfg_) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(testkit::slurp(queue_lock()), "");
  ld::remove_file(queue_lock());

  // The pause flag is a setting: a flag left by a program that has ended stays.
  ld::FakeClock fake(now);
  cfg_.clock = &fake;
  testkit::spit(pause_printing_lock(), "jobdesk " + dead + ":Tue Nov 14 22:13:20 2023\n\n");
  set_age(pause_printing_lock(), now, 100);
  err_.take();
  EXPECT_EQ(pause_printing(cfg_), 0);
  EXPECT_EQ(err_.take(), repeat("LOCK EXISTS " + pause_printing_lock() + "\n", 5));
  EXPECT_EQ(check_pause(cfg_), 0);
}

TEST_F(Queue, ALockLeftByACrashedProgramDoesNotWedgeTheQueue) {
  pid_t pid = start_child();
  if (pid == 0) {
    cfg_.clock = &ld::system_clock();
    cfg_.process_name = "crasher";
    ::_exit(get_qlock(cfg_) == 1 ? 0 : 1);  // dies holding the lock
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_TRUE(ld::file_exists(queue_lock()));

  ld::FakeClock later(::time(nullptr) + kStaleLockAge);
  cfg_.clock = &later;
  err_.take();
  EXPECT_EQ(add_to_queue(cfg_, q("a.spl"), "a", job("")), 1);
  EXPECT_EQ(err_.take(), "LOCK STALE " + queue_lock() + ": process " + std::to_string(pid) +
                             " is gone, lock removed\n");
  EXPECT_FALSE(ld::file_exists(queue_lock()));
  EXPECT_EQ(paths(), std::vector<std::string>{q("a.spl")});
}

TEST_F(Queue, PauseFlag) {
  EXPECT_EQ(check_pause(cfg_), 1);
  EXPECT_EQ(pause_printing(cfg_), 1);
  EXPECT_EQ(check_pause(cfg_), 0);
  EXPECT_EQ(testkit::slurp(pause_printing_lock()),
            "UNKNOWN " + std::to_string(::getpid()) + ":Tue Nov 14 22:13:20 2023\n\n");
  err_.take();
  EXPECT_EQ(pause_printing(cfg_), 0);  // already paused: the flag stays
  err_.take();
  EXPECT_EQ(check_pause(cfg_), 0);
  EXPECT_EQ(resume_printing(cfg_), 1);
  EXPECT_EQ(check_pause(cfg_), 1);
  EXPECT_EQ(resume_printing(cfg_), 1);
}

TEST_F(Queue, DeleteAndMove) {
  for (const char* f : {"a_0.spl", "b_1.spl", "c_2.prn"}) testkit::spit(q(f), f);
  write_quiet({job(q("a_0.spl"), "a"), job(q("b_1.spl"), "b"), job(q("c_2.prn"), "c")});
  std::string bytes = queue_bytes();

  // Nothing to do: the file stays byte for byte.
  err_.take();
  EXPECT_EQ(printq_moveup(cfg_, 0), 0);
  EXPECT_EQ(printq_movedown(cfg_, 2), 0);
  EXPECT_EQ(printq_moveup(cfg_, 3), 0);
  EXPECT_EQ(printq_moveup(cfg_, -1), 0);
  EXPECT_EQ(printq_movedown(cfg_, -1), 0);
  EXPECT_EQ(printq_delete(cfg_, 3), 0);
  EXPECT_EQ(printq_delete(cfg_, -1), 0);
  EXPECT_EQ(err_.take(), "");
  EXPECT_EQ(queue_bytes(), bytes);

  EXPECT_EQ(printq_moveup(cfg_, 2), 1);
  EXPECT_EQ(paths(), (std::vector<std::string>{q("a_0.spl"), q("c_2.prn"), q("b_1.spl")}));
  EXPECT_EQ(printq_movedown(cfg_, 0), 1);
  EXPECT_EQ(paths(), (std::vector<std::string>{q("c_2.prn"), q("a_0.spl"), q("b_1.spl")}));
  EXPECT_EQ(printq_delete(cfg_, 1), 1);
  EXPECT_EQ(paths(), (std::vector<std::string>{q("c_2.prn"), q("b_1.spl")}));
  EXPECT_FALSE(ld::file_exists(q("a_0.spl")));
  EXPECT_TRUE(ld::file_exists(q("b_1.spl")));
  EXPECT_FALSE(ld::file_exists(queue_lock()));

  // A record naming a file elsewhere goes; the file does not.
  std::string outside = root_("/print/prns/keep.prn");
  testkit::spit(outside, "x");
  ASSERT_EQ(add_to_queue(cfg_, outside, "keep", job("")), 1);
  err_.take();
  EXPECT_EQ(printq_delete(cfg_, 2), 1);
  EXPECT_EQ(err_.take(),
            "printq_delete ERROR " + outside + " is not in " + printq_dir() + ", not removed\n");
  EXPECT_TRUE(ld::file_exists(outside));
  EXPECT_EQ(paths().size(), 2u);
}

TEST_F(Queue, FailedWritesKeepTheOldQueue) {
  write_quiet({job(q("a_0.spl"))});
  std::string bytes = queue_bytes();

  // The temporary file cannot be made.
  std::string tmp = printq_filename() + ".tmp" + std::to_string(::getpid());
  ASSERT_TRUE(ld::make_dirs(tmp));
  err_.take();
  EXPECT_EQ(write_pq(cfg_, std::vector<queue_record>{job(q("b.spl"))}), 0);
  EXPECT_EQ(err_.take(), "write_pq ERROR cannot open " + printq_filename() + "\n");
  EXPECT_EQ(queue_bytes(), bytes);
  ::rmdir(tmp.c_str());

  // The disk fills up half-way (a file size limit stands in for it).
  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = {1000, old_limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  err_.take();
  int written = write_pq(cfg_, std::vector<queue_record>(3, job(q("b.spl"))));
  int added = add_to_queue(cfg_, q("c.spl"), "c", job(""));
  std::string err = err_.take();
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(added, 0);
  EXPECT_EQ(err, "write_pq ERROR cannot write " + printq_filename() + ": File too large\n"
                 "add_to_queue ERROR cannot write " + printq_filename() + ": File too large\n");
  EXPECT_EQ(queue_bytes(), bytes);
  EXPECT_EQ(testkit::list_dir(printq_dir()), std::vector<std::string>{"printq"});
}

TEST_F(Queue, DumpQueueOutput) {
  queue_record a = job(q("a_0.spl"), "a");
  a.quality = 3;
  a.ntags = 2;
  a.tags[0] = {0x71, 3};
  a.tags[1] = {0x8514, -1};
  queue_record b = job(q("b_1.prn"), "b b");
  b.printing = 1;
  b.spooled = 1;
  b.added_time = kT0 + 86400;
  b.collate = 1;
  b.copies = 2;
  write_quiet({a, b});
  out_.take();
  err_.take();
  EXPECT_EQ(dump_queue(cfg_), 1);
  err_.take();
  EXPECT_EQ(out_.take(),
            "dump_queue njobs = 2\n"
            "file: " +
                q("a_0.spl") +
                " <a>\t 0 Tue Nov 14 22:13:20 2023\n"
                "\t sp=0 q=3 f=1 t=2 cp=1 col=0\n"
                "\t t=2:  71=3  8514=-1 \n"
                "file: " +
                q("b_1.prn") +
                " <b b>\t 1 Wed Nov 15 22:13:20 2023\n"
                "\t sp=1 q=0 f=1 t=2 cp=2 col=1\n"
                "\t t=0: \n");

  ld::remove_file(printq_filename());
  out_.take();
  err_.take();
  dump_queue(cfg_);
  err_.take();
  EXPECT_EQ(out_.take(), "dump_queue njobs = 0\n");
}

TEST_F(Queue, CheckQueueRemovesOrphanedPrnFilesOnly) {
  for (const char* f : {"a_0.spl", "b.prn", "x_0.prn", "x_1.spl", "my job (2).prn", "pause"})
    testkit::spit(q(f), "x");
  write_quiet({job(q("a_0.spl"), "a"), job(q("b.prn"), "b"), job(q("gone.prn"), "g")});
  out_.take();
  err_.take();
  EXPECT_EQ(check_queue(cfg_), 1);
  EXPECT_EQ(err_.take(), "Number of jobs in printq = 3\n");
  std::string head = "\t 0 Tue Nov 14 22:13:20 2023\n";
  EXPECT_EQ(out_.take(),
            "check_queue njobs = 3\n"
            "OK\tfile: " +
                q("a_0.spl") + " <a>" + head + "OK\tfile: " + q("b.prn") + " <b>" + head +
                "ERROR\tfile: " + q("gone.prn") + " <g>" + head +
                "files:\n"
                "<" +
                q("b.prn") +
                "> OK   \n"
                "<" +
                q("my job (2).prn") +
                "> ERROR\n"
                "rm " +
                q("my\\ job\\ \\(2\\).prn") +
                "\n"
                "<" +
                q("x_0.prn") +
                "> ERROR\n"
                "rm " +
                q("x_0.prn") + "\n" + std::string(42, '_') + "\n");
  EXPECT_EQ(testkit::list_dir(printq_dir()),
            (std::vector<std::string>{"a_0.spl", "b.prn", "pause", "printq", "x_1.spl"}));
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

// A program killed after the queue names a job's ".prn" but before it deletes the ".spl" (or
// half-way through its output) leaves a copy that nothing will ever take up.
TEST_F(Queue, CheckQueueSweepsOrphanedCopiesOnceTheyAreOld) {
  const time_t now = ::time(nullptr);
  ld::FakeClock fake(now);
  cfg_.clock = &fake;
  struct {
    const char* name;
    int age;
    bool named, kept;
  } files[] = {
      {"left_0.spl", kOrphanCopyAge, false, false},
      {"left_1.spl.tmp", kOrphanCopyAge + 100, false, false},
      {"queued_0.spl", 1000, true, true},
      {"fresh_0.spl", kOrphanCopyAge - 1, false, true},  // being queued right now
  };
  std::vector<queue_record> recs;
  for (const auto& f : files) {
    testkit::spit(q(f.name), "x");
    set_age(q(f.name), now, f.age);
    if (f.named) recs.push_back(job(q(f.name), "n"));
  }
  write_quiet(recs);
  out_.take();
  err_.take();
  EXPECT_EQ(check_queue(cfg_), 1);
  err_.take();
  std::string out = out_.take();
  EXPECT_NE(out.find("files:\n<" + q("left_0.spl") + "> ERROR\nrm " + q("left_0.spl") + "\n<" + q("left_1.spl.tmp") +
                     "> ERROR\nrm " + q("left_1.spl.tmp") + "\n" + std::string(42, '_')),
            std::string::npos)
      << out;
  for (const auto& f : files) EXPECT_EQ(ld::file_exists(q(f.name)), f.kept) << f.name;
}

// A lock that cannot be written (a full disk) says so, instead of passing for a lock that
// another program holds. (A file size limit stands in for the full disk; the child reports
// through a pipe, which the limit does not touch.)
TEST_F(Queue, ALockThatCannotBeWrittenSaysWhy) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t pid = start_child();
  if (pid == 0) {
    ::close(fds[0]);
    ::dup2(fds[1], 2);
    cfg_.err = stderr;  // the pipe: the size limit would cut a captured file too
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {8, 8};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    QueueLock lock(cfg_);
    std::string report = std::string(lock.held() ? "held" : lock.busy() ? "busy" : "failed") + "|" + lock.error();
    std::fprintf(stderr, "%s", report.c_str());
    std::fflush(stderr);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  const std::string why = "cannot write " + queue_lock() + ": File too large";
  EXPECT_EQ(got, "get_lock ERROR " + why + "\nfailed|" + why);
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

TEST_F(Queue, MergeKeepsWhatOthersChangedMeanwhile) {
  for (const char* f : {"a_0.spl", "b_1.spl", "c_2.spl"}) testkit::spit(q(f), f);
  for (const char* f : {"a_0.spl", "b_1.spl", "c_2.spl"})
    ASSERT_EQ(add_to_queue(cfg_, q(f), f, job("")), 1);

  // A spooler read the queue and filters b for a long time ...
  err_.take();
  const std::vector<queue_record> read = get_printq(cfg_);
  err_.take();
  // ... while a job is added, the head deleted and the new job moved up.
  ASSERT_EQ(add_to_queue(cfg_, q("d_3.spl"), "d", job("")), 1);
  ASSERT_EQ(printq_delete(cfg_, 0), 1);
  ASSERT_EQ(printq_moveup(cfg_, 2), 1);

  testkit::spit(q("b_1.spl.tmp"), "filtered");
  queue_record b = read[1];
  b.spooled = 1;
  set_record_text(b.path, q("b_1.prn"));
  bool locked_during_hook = false;
  EXPECT_EQ(printq_update_record(cfg_, read[1], b,
                                 [&] {
                                   locked_during_hook = ld::file_exists(queue_lock());
                                   return ld::move_file(q("b_1.spl.tmp"), q("b_1.prn"));
                                 }),
            kMergeDone);
  EXPECT_TRUE(locked_during_hook);
  EXPECT_EQ(paths(), (std::vector<std::string>{q("b_1.prn"), q("d_3.spl"), q("c_2.spl")}));
  err_.take();
  EXPECT_EQ(get_printq(cfg_)[0].spooled, 1);
  err_.take();
  // The new path is the same job: the sender that reads it later finds it by it.
  queue_record sent = b;
  sent.printing = 1;
  EXPECT_EQ(printq_update_record(cfg_, b, sent), kMergeDone);

  // A record deleted meanwhile is not brought back; a failing hook writes nothing.
  std::string bytes = queue_bytes();
  bool called = false;
  std::string err;
  EXPECT_EQ(printq_update_record(cfg_, read[0], job(q("a_0.prn")), [&] { return called = true; }),
            kMergeGone);
  EXPECT_FALSE(called);
  EXPECT_EQ(printq_update_record(
                cfg_, read[2], job(q("c_2.prn")), [] { return false; }, &err),
            kMergeFailed);
  EXPECT_EQ(err, "");
  EXPECT_EQ(queue_bytes(), bytes);

  err_.take();
  queue_record d = get_printq(cfg_)[1];
  err_.take();
  int hooks = 0;
  EXPECT_EQ(printq_remove_record(cfg_, d, [&](bool free) { hooks += free ? 1 : 100; }), kMergeDone);
  EXPECT_EQ(printq_remove_record(cfg_, d, [&](bool) { hooks += 1000; }), kMergeGone);
  EXPECT_EQ(hooks, 1);
  EXPECT_EQ(paths(), (std::vector<std::string>{q("b_1.prn"), q("c_2.spl")}));
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

// Paths are reused: the job browser queues a job under the first free name, which may be the
// name of a job deleted a moment ago that a spooler or sender still works on. What those write
// back afterwards concerns their own job only, and never costs the new one its file.
TEST_F(Queue, AJobQueuedAgainUnderTheSameNameIsAnotherJob) {
  testkit::spit(q("x_0.spl"), "old");
  queue_record opts = job("");
  opts.copies = 1;
  ASSERT_EQ(add_to_queue(cfg_, q("x_0.spl"), "x", opts), 1);
  err_.take();
  const queue_record old = get_printq(cfg_)[0];
  err_.take();
  EXPECT_NE(old.serial, 0u);
  ASSERT_EQ(printq_delete(cfg_, 0), 1);
  // Queued again in the same second, with other options.
  testkit::spit(q("x_0.spl"), "new");
  opts.copies = 5;
  ASSERT_EQ(add_to_queue(cfg_, q("x_0.spl"), "x", opts), 1);
  err_.take();
  const queue_record now = get_printq(cfg_)[0];
  err_.take();
  ASSERT_EQ(now.added_time, old.added_time);
  EXPECT_FALSE(same_job(now, old));
  EXPECT_TRUE(same_job(now, now));

  queue_record spooled = old;
  spooled.spooled = 1;
  set_record_text(spooled.path, q("x_0.prn"));
  bool hook = false;
  EXPECT_EQ(printq_update_record(cfg_, old, spooled, [&] { return hook = true; }), kMergeGone);
  EXPECT_EQ(printq_remove_record(cfg_, old, [&](bool) { hook = true; }), kMergeGone);
  EXPECT_FALSE(hook);
  EXPECT_EQ(printq_remove_unnamed(cfg_, q("x_0.spl")), 0);  // the new job's copy
  EXPECT_EQ(testkit::slurp(q("x_0.spl")), "new");
  err_.take();
  std::vector<queue_record> recs = get_printq(cfg_);
  err_.take();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].copies, 5);
  EXPECT_EQ(recs[0].spooled, 0);

  // Two records naming one file (a damaged queue): removing one leaves the file to the other.
  write_quiet({recs[0], recs[0]});
  std::vector<bool> told;
  EXPECT_EQ(printq_remove_record(cfg_, recs[0], [&](bool free) { told.push_back(free); }),
            kMergeDone);
  EXPECT_EQ(printq_remove_record(cfg_, recs[0], [&](bool free) { told.push_back(free); }),
            kMergeDone);
  EXPECT_EQ(told, (std::vector<bool>{false, true}));
  EXPECT_EQ(printq_remove_unnamed(cfg_, q("x_0.spl")), 1);
  EXPECT_FALSE(ld::file_exists(q("x_0.spl")));
  EXPECT_EQ(printq_remove_unnamed(cfg_, q("x_0.spl")), 1);

  // The job browser's delete, likewise.
  testkit::spit(q("x_0.spl"), "new");
  write_quiet({recs[0], recs[0]});
  err_.take();
  EXPECT_EQ(printq_delete(cfg_, 0), 1);
  EXPECT_EQ(err_.take(),
            "printq_delete ERROR " + q("x_0.spl") + " is named by another job too, not removed\n");
  EXPECT_TRUE(ld::file_exists(q("x_0.spl")));
  EXPECT_EQ(printq_delete(cfg_, 0), 1);
  EXPECT_FALSE(ld::file_exists(q("x_0.spl")));
}

// Sleeps a hundredth of what it is asked, so contending processes retry quickly.
class QuickClock : public ld::Clock {
 public:
  time_t now() override { return ::time(nullptr); }
  void sleep_ms(long ms) override { ::usleep(static_cast<useconds_t>(ms * 10)); }
};

// The record that names `path` as the queue is now (without the lock, as a program that then
// works on it for long would read it).
bool find_by_path(const Config& cfg, const std::string& path, queue_record* out) {
  for (const queue_record& r : get_printq(cfg))
    if (path == r.path) {
      *out = r;
      return true;
    }
  return false;
}

// Several processes add, move, update, remove and delete at once. Each logs the operations
// that reported success; afterwards every job added is in the queue exactly once, or was
// deleted exactly once (its file gone with it), and every update that succeeded is there.
TEST_F(Queue, ConcurrentProcessesLoseAndDuplicateNothing) {
  constexpr int kProcs = 4;
  constexpr int kOps = 60;
  std::vector<pid_t> pids;
  for (int c = 0; c < kProcs; ++c) {
    pid_t pid = start_child();
    if (pid == 0) {
      std::freopen("/dev/null", "w", stderr);
      cfg_.err = stderr;
      QuickClock quick;
      cfg_.clock = &quick;
      std::FILE* log = std::fopen(root_("/log" + std::to_string(c)).c_str(), "w");
      unsigned seed = 12345u + static_cast<unsigned>(c);
      std::vector<std::string> mine;
      for (int i = 0; i < kOps; ++i) {
        int op = static_cast<int>(::rand_r(&seed) % 100);
        int index = static_cast<int>(::rand_r(&seed) % 8);
        if (op < 40 || mine.empty()) {
          std::string path = q("c" + std::to_string(c) + "_" + std::to_string(i) + ".spl");
          testkit::spit(path, "job");
          queue_record r = job("");
          r.quality = c;
          if (add_to_queue(cfg_, path, "n" + std::to_string(c), r) == 1) {
            std::fprintf(log, "A %s\n", path.c_str());
            mine.push_back(path);
          } else {
            ::unlink(path.c_str());
          }
        } else if (op < 55) {
          printq_moveup(cfg_, index);
        } else if (op < 70) {
          printq_movedown(cfg_, index);
        } else if (op < 82) {
          if (printq_delete(cfg_, index) == 1) std::fprintf(log, "D\n");
        } else if (op < 94) {
          const std::string& path = mine[static_cast<size_t>(i) % mine.size()];
          queue_record was;
          if (!find_by_path(cfg_, path, &was)) continue;
          queue_record r = was;
          r.copies_sent = i;
          if (printq_update_record(cfg_, was, r) == 1)
            std::fprintf(log, "U %s %d\n", path.c_str(), i);
        } else {
          const std::string& path = mine[static_cast<size_t>(i) % mine.size()];
          queue_record was;
          if (!find_by_path(cfg_, path, &was)) continue;
          if (printq_remove_record(cfg_, was) == 1) {
            ::unlink(path.c_str());
            std::fprintf(log, "R %s\n", path.c_str());
          }
        }
        std::fflush(log);
      }
      std::fclose(log);
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::set<std::string> added;
  std::map<std::string, int> last_update;
  int removed = 0;
  for (int c = 0; c < kProcs; ++c) {
    std::FILE* log = std::fopen(root_("/log" + std::to_string(c)).c_str(), "r");
    ASSERT_NE(log, nullptr);
    char kind;
    char path[512];
    int value;
    while (std::fscanf(log, " %c", &kind) == 1) {
      if (kind == 'A' && std::fscanf(log, "%511s", path) == 1) {
        EXPECT_TRUE(added.insert(path).second) << path;
      }
      if (kind == 'U' && std::fscanf(log, "%511s %d", path, &value) == 2) last_update[path] = value;
      if (kind == 'D' || (kind == 'R' && std::fscanf(log, "%511s", path) == 1)) ++removed;
    }
    std::fclose(log);
  }
  err_.take();
  std::vector<queue_record> final_q = get_printq(cfg_);
  err_.take();
  std::set<std::string> present;
  for (const queue_record& r : final_q) {
    EXPECT_TRUE(present.insert(r.path).second) << "duplicated: " << r.path;
    EXPECT_EQ(added.count(r.path), 1u) << "never added: " << r.path;
    EXPECT_EQ(std::string(r.displayname), "n" + std::to_string(r.quality)) << r.path;
    auto u = last_update.find(r.path);
    EXPECT_EQ(r.copies_sent, u == last_update.end() ? 0 : u->second) << r.path;
  }
  EXPECT_EQ(added.size(), present.size() + static_cast<size_t>(removed));
  for (const std::string& p : added) EXPECT_EQ(ld::file_exists(p), present.count(p) == 1) << p;
  EXPECT_GT(added.size(), static_cast<size_t>(kProcs * 10));  // the processes did get through
  EXPECT_GT(removed, 0);
  EXPECT_FALSE(ld::file_exists(queue_lock()));
}

}  // namespace

}  // namespace spooler
