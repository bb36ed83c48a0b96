#include "spooler/jobhistory.h"

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "testkit/scenario.h"

namespace {

ld::HistoryEntry entry(std::string name, int64_t ended, ld::JobEnd end = ld::JobEnd::kSent) {
  ld::HistoryEntry e;
  e.name = std::move(name);
  e.pages = 3;
  e.copies = 2;
  e.queued_at = ended - 60;
  e.ended_at = ended;
  e.end = end;
  return e;
}

class JobHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ld::make_dirs(root_("/print")));
    ASSERT_TRUE(ld::make_dirs(root_("/tmp")));
  }
  testkit::TempRoot root_;
};

TEST(HistoryLine, EveryFieldAndEveryEndSurviveTheRoundTrip) {
  for (ld::JobEnd end : {ld::JobEnd::kSent, ld::JobEnd::kCancelled, ld::JobEnd::kRemoved, ld::JobEnd::kFailed}) {
    ld::HistoryEntry in = entry("label <b>&", 1765000000, end);
    ld::HistoryEntry out;
    ASSERT_TRUE(ld::parse_history_line(ld::format_history_line(in), &out));
    EXPECT_EQ(out.name, in.name);
    EXPECT_EQ(out.pages, 3);
    EXPECT_EQ(out.copies, 2);
    EXPECT_EQ(out.queued_at, in.queued_at);
    EXPECT_EQ(out.ended_at, in.ended_at);
    EXPECT_EQ(out.end, end);
  }
}

TEST(HistoryLine, ANameWithTabsOrLineEndsCannotSplitTheFile) {
  std::string text = ld::format_history_line(entry("a\tb\nc\rd", 10)) + "\n";
  auto all = ld::parse_history(text);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "a b c d");
}

TEST(HistoryLine, AnOverlongNameIsCut) {
  ld::HistoryEntry out;
  ASSERT_TRUE(ld::parse_history_line(ld::format_history_line(entry(std::string(5000, 'x'), 10)), &out));
  EXPECT_EQ(out.name.size(), ld::kHistoryNameMax);
}

TEST(HistoryLine, EveryCutOfAFileKeepsTheWholeLinesOnly) {
  std::string text = ld::format_history_line(entry("one", 10)) + "\n" + ld::format_history_line(entry("two", 20)) + "\n";
  size_t first_end = text.find('\n') + 1;
  for (size_t n = 0; n <= text.size(); ++n) {
    auto all = ld::parse_history(text.substr(0, n));
    size_t want = n == text.size() ? 2 : n >= first_end ? 1 : 0;
    ASSERT_EQ(all.size(), want) << "cut at " << n;
    if (want > 0) {
      EXPECT_EQ(all[0].name, "one");
    }
  }
}

TEST(HistoryLine, GarbageLinesAreSkipped) {
  std::string good = ld::format_history_line(entry("ok", 10));
  std::string text = "nonsense\nH1\tx\t1\tsent\t1\t1\tn\t.\nH1\t1\t1\texploded\t1\t1\tn\t.\n" + good + "\n";
  auto all = ld::parse_history(text);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "ok");
}

TEST_F(JobHistory, ReadsNewestFirstAndDropsTheOldestBeyondTheBound) {
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(ld::record_job_end(entry("job" + std::to_string(i), 100 + i), nullptr, 5));
  auto all = ld::read_history();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all.front().name, "job6");
  EXPECT_EQ(all.back().name, "job2");
}

TEST_F(JobHistory, AFileCutByAPowerFailureLosesOnlyItsLastLine) {
  ASSERT_TRUE(ld::record_job_end(entry("kept", 10)));
  ASSERT_TRUE(ld::record_job_end(entry("cut", 20)));
  std::string text;
  ASSERT_TRUE(ld::read_file(ld::history_path(), &text));
  ASSERT_TRUE(ld::write_file_atomic(ld::history_path(), text.substr(0, text.size() - 7)));
  ASSERT_TRUE(ld::record_job_end(entry("next", 30)));
  auto all = ld::read_history();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "next");
  EXPECT_EQ(all[1].name, "kept");
}

TEST_F(JobHistory, NoHistoryFileIsAnEmptyHistory) { EXPECT_TRUE(ld::read_history().empty()); }

TEST_F(JobHistory, ConcurrentWritersLoseNoEntry) {
  constexpr int kWriters = 4, kEach = 25;
  std::vector<pid_t> kids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < kEach; ++i)
        if (!ld::record_job_end(entry("w" + std::to_string(w) + "-" + std::to_string(i), i + 1))) ::_exit(1);
      ::_exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::string> names;
  for (const auto& e : ld::read_history()) names.insert(e.name);
  EXPECT_EQ(names.size(), static_cast<size_t>(kWriters * kEach));
}

}  // namespace
