#include "eventlog/logfiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/fsops.h"
#include "eventlog/logline.h"
#include "testkit/eventlog_fixture.h"
#include "testkit/scenario.h"

namespace eventlog {
namespace {

using testkit::list_dir;
using testkit::slurp;

// A moment of local time, whatever the time zone of the test run.
time_t local(int year, int mon, int day, int hour, int min, int sec) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class LogStoreTest : public EventLogTest {
 protected:
  LogStoreTest() : dir_(root_("/print/log")) { clock_.set(local(2026, 12, 7, 14, 5, 9)); }
  std::string file(const std::string& name) { return slurp(dir_ + "/" + name); }

  std::string dir_;
  LogStore store_{dir_, &clock_, out_, err_};
};

TEST_F(LogStoreTest, EachTagToItsOwnDayFile) {
  EXPECT_TRUE(store_.append("sys", "printer started"));
  clock_.advance(1);
  EXPECT_TRUE(store_.append("ui", "job received"));
  EXPECT_TRUE(store_.append("sys", "second"));
  store_.flush();
  EXPECT_EQ(file("sys_2026-12-07.log"), "14:05:09,printer started\r\n14:05:10,second\r\n");
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:10,job received\r\n");
  EXPECT_TRUE(store_.append("sys", "after a flush"));
  store_.flush();
  EXPECT_EQ(file("sys_2026-12-07.log"), "14:05:09,printer started\r\n14:05:10,second\r\n14:05:10,after a flush\r\n");
}

TEST_F(LogStoreTest, MidnightStartsTheNextDayFile) {
  clock_.set(local(2026, 12, 7, 23, 59, 59));
  store_.append("ui", "late");
  clock_.advance(1);
  store_.append("ui", "early");  // same batch, no flush between
  store_.flush();
  EXPECT_EQ(file("ui_2026-12-07.log"), "23:59:59,late\r\n");
  EXPECT_EQ(file("ui_2026-12-08.log"), "00:00:00,early\r\n");
}

TEST_F(LogStoreTest, RotatesOnlyAboveTheThreshold) {
  const std::string day = dir_ + "/ui_2026-12-07.log";
  testkit::spit(day, std::string(100000, 'x'));
  store_.append("ui", "at the threshold");  // 100000 bytes: not yet
  store_.flush();
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"ui_2026-12-07.log"}));
  store_.append("ui", "over it");
  store_.flush();
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"ui_2026-12-07-1405.log", "ui_2026-12-07.log"}));
  EXPECT_EQ(file("ui_2026-12-07-1405.log"), std::string(100000, 'x') + "14:05:09,at the threshold\r\n");
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:09,over it\r\n");
}

TEST_F(LogStoreTest, RotationGoesByTheFileAsItIsNotAsItWasWritten) {
  const std::string day = dir_ + "/ui_2026-12-07.log";
  testkit::spit(day, std::string(100000, 'x'));
  store_.append("ui", "first");
  store_.flush();
  // Emptied by someone else (the same file, not a new one): the next record is no reason to
  // move the empty file aside.
  ASSERT_EQ(::truncate(day.c_str(), 0), 0);
  store_.append("ui", "second");
  store_.flush();
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"ui_2026-12-07.log"}));
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:09,second\r\n");
  // Grown by another writer past the threshold: moved aside before the next record.
  {
    ld::UniqueFile other(std::fopen(day.c_str(), "a"));
    ASSERT_TRUE(other);
    std::fputs(std::string(100000, 'y').c_str(), other.get());
  }
  store_.append("ui", "third");
  store_.flush();
  EXPECT_EQ(list_dir(dir_), (std::vector<std::string>{"ui_2026-12-07-1405.log", "ui_2026-12-07.log"}));
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:09,third\r\n");
}

TEST_F(LogStoreTest, RotatesWithinABurstAndNeverOverwritesARotatedFile) {
  // Two bursts of 3000 records of 50 bytes, each in one batch and all in the same minute: the
  // day file is moved aside in the middle of each, the second time under a new name.
  const std::string msg(39, 'm');
  for (int burst = 0; burst < 2; ++burst) {
    for (int i = 0; i < 3000; ++i) store_.append("ui", msg);
    store_.flush();
  }
  std::vector<std::string> names = list_dir(dir_);
  ASSERT_EQ(names, (std::vector<std::string>{"ui_2026-12-07-1405.log", "ui_2026-12-07-1405_2.log",
                                             "ui_2026-12-07.log"}));
  size_t total = 0;
  for (const std::string& n : names) {
    std::string s = file(n);
    EXPECT_LE(s.size(), 100050u) << n;
    total += s.size();
  }
  EXPECT_EQ(total, 6000u * 50u);  // no record lost
}

TEST_F(LogStoreTest, UnopenableFileDropsTheLineAndGoesOn) {
  const std::string day = dir_ + "/ui_2026-12-07.log";
  ASSERT_TRUE(ld::make_dirs(day));  // a folder where the file should be
  EXPECT_FALSE(store_.append("ui", "lost"));
  EXPECT_NE(printed("err").find("ERROR open_file: cannot open " + day), std::string::npos);
  EXPECT_TRUE(store_.append("sys", "other tags still work"));
  ASSERT_TRUE(ld::remove_tree(day));
  EXPECT_TRUE(store_.append("ui", "kept"));
  store_.flush();
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:09,kept\r\n");
  EXPECT_EQ(file("sys_2026-12-07.log"), "14:05:09,other tags still work\r\n");
}

TEST_F(LogStoreTest, ADayFileRemovedMeanwhileIsMadeAgain) {
  store_.append("ui", "one");
  store_.flush();
  ASSERT_TRUE(ld::move_file(dir_ + "/ui_2026-12-07.log", dir_ + "/archived"));
  store_.append("ui", "two");
  store_.flush();
  EXPECT_EQ(file("archived"), "14:05:09,one\r\n");
  EXPECT_EQ(file("ui_2026-12-07.log"), "14:05:09,two\r\n");
}

}  // namespace
}  // namespace eventlog
