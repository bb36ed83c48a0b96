#include "statusdesk/statusview.h"

#include <string>

#include "common/fsops.h"
#include "gtest/gtest.h"
#include "statusdesk/statusread.h"
#include "testkit/scenario.h"

namespace {

using statusdesk::RfidFile;

std::string english(const char*, const char* fallback) { return fallback; }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(StatusWords, TheStatusDocumentIsFreshOnlyWhileThePrinterGateTrustsIt) {
  statusdesk::PrinterView p;
  EXPECT_TRUE(has(statusdesk::freshness_text(p, english), "missing"));
  p.have_document = true;
  p.age_s = 2;
  EXPECT_EQ(statusdesk::freshness_text(p, english), "fresh (2 s)");
  p.age_s = 3;
  EXPECT_TRUE(has(statusdesk::freshness_text(p, english), "not fresh, printing waits (3 s)"));
}

TEST(StatusWords, TheEncoderFileInWords) {
  const int64_t now = 1000000;
  struct Case {
    const char* file;  // nullptr: no file
    std::vector<const char*> want;
  } cases[] = {
      {nullptr, {"not running"}},
      {"updated=999960\nprinter=connected\n", {"not running", "last news 40 s"}},
      {"updated=x\n", {"not running"}},
      {"updated=999999\nprinter=none\nentry=none\nexit=none\n", {"running", "not connected", "Entry: <span class='warn'>not found"}},
      {"updated=999999\r\nprinter=connected\r\nentry=RU5102 - 26\r\nexit=RU5202 A1B2 30\r\n"
       "last_event=999990 write-failed E200<b>\r\n",
       {"printer connected", "Entry: RU5102, power 26<br>", "Exit: RU5202, serial A1B2, power 30",
        "tag write failed</span> 10 s ago", "E200&lt;b&gt;"}},
  };
  for (const Case& c : cases) {
    std::optional<RfidFile> f;
    if (c.file) f = statusdesk::parse_key_values(c.file);
    const std::string text = statusdesk::rfid_text(f, now, english);
    for (const char* w : c.want) EXPECT_TRUE(has(text, w)) << (c.file ? c.file : "(none)") << " -> " << text;
  }
}

TEST(StatusWords, EventLinesOfSeveralDayFilesInterleaveNewestFirst) {
  testkit::TempRoot root;
  const std::string dir = root("/print/log");
  ASSERT_TRUE(ld::write_file_atomic(dir + "/ui_2026-12-08.log", "23:59:00,old day\r\n"));
  ASSERT_TRUE(ld::write_file_atomic(dir + "/ui_2026-12-09.log", "08:00:00,first\r\n08:00:02,third\r\n"));
  ASSERT_TRUE(ld::write_file_atomic(dir + "/sys_2026-12-09.log", "08:00:01,second\r\n08:00:02,fourth\r\nno record\r\n"));
  ASSERT_TRUE(ld::write_file_atomic(dir + "/notes.txt", "12:00:00,not a day file\n"));
  const std::vector<std::string> want = {"2026-12-09 08:00:02 ui: third", "2026-12-09 08:00:02 sys: fourth",
                                         "2026-12-09 08:00:01 sys: second", "2026-12-09 08:00:00 ui: first"};
  std::vector<std::string> got = statusdesk::last_log_lines(dir, 4);
  ASSERT_EQ(got.size(), 4u);
  // Records of the same second in two files keep no order between the files.
  EXPECT_TRUE((got[0] == want[0] && got[1] == want[1]) || (got[0] == want[1] && got[1] == want[0])) << got[0];
  EXPECT_EQ(got[2], want[2]);
  EXPECT_EQ(got[3], want[3]);
  EXPECT_EQ(statusdesk::last_log_lines(dir, 10).back(), "2026-12-08 23:59:00 ui: old day");
}

}  // namespace
