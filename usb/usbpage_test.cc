#include "usb/usbpage.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace usb {
namespace {

TEST(BackupName, BuiltFromFirmwareSerialAndClock) {
  struct Case {
    BackupSource src;
    const char* want;
  } cases[] = {
      {{"QX9_2.1", "25/11/26 14:03:59", "ABC123"}, "QX9_ABC123_2611251403"},
      {{"T4400C", "25/11/26 14:03:59", "ABC123"}, "T44ABC123_2611251403"},
      // Bytes that could leave a folder or split a shell word never reach the name.
      {{"Q/9_1", "01/02/03 04:05:06", "../a b"}, "Q_9_.._a_b_0302010405"},
  };
  for (const auto& c : cases) EXPECT_EQ(backup_name(c.src, 0), c.want) << c.src.firmware;
}

TEST(BackupName, MissingValueFallsBackToDate) {
  BackupSource cases[] = {
      {"", "25/11/26 14:03:59", "ABC123"},
      {"QX9_2.1", "", "ABC123"},
      {"QX9_2.1", "25/11/26 14:0", "ABC123"},
      {"QX9_2.1", "xx/11/26 14:03:59", "ABC123"},
      {"QX9_2.1", "25/11/26 14:03:59", ""},
  };
  for (const auto& c : cases) {
    std::string name = backup_name(c, 1764079439);
    ASSERT_EQ(name.size(), 17u) << name;
    EXPECT_EQ(name.substr(0, 9), "backup_25") << name;
    EXPECT_EQ(name.find_first_not_of("0123456789", 7), std::string::npos) << name;
  }
}

TEST(BackupName, EveryCallAddsItsHeadLines) {
  Page page;
  get_backup_filename(&page, {"QX9_2.1", "25/11/26 14:03:59", "ABC123"}, 0);
  EXPECT_EQ(page.head, (std::vector<std::string>{"<script>var backup_fname='QX9_ABC123_2611251403';</script>\n",
                                                 "<script>var saving_dir = 1;</script>\n"}));
}

TEST(SetName, OnlyPlainFolderNames) {
  for (const char* ok : {"A", "Shelf labels 2026", "a.b", "..x", "$(touch x)"}) EXPECT_TRUE(valid_set_name(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../x", "a/b", "/etc", "a\nb", "a\tb", "x\x7f"})
    EXPECT_FALSE(valid_set_name(bad)) << bad;
}

TEST(FillLevel, PercentUsedWithoutOverflow) {
  EXPECT_EQ(percent_used(250, 1000), 75);
  EXPECT_EQ(percent_used(0, 1000), 100);
  EXPECT_EQ(percent_used(1000, 1000), 0);
  EXPECT_EQ(percent_used(2000, 1000), 0);
  EXPECT_EQ(percent_used(UINT64_MAX / 4, UINT64_MAX), 75);
  EXPECT_EQ(percent_used(UINT32_MAX, UINT32_MAX * uint64_t{4}), 75);
  EXPECT_EQ(percent_used(5, 0), -1);
}

TEST(JobSetList, RowsEscapedAndCounted) {
  Page page;
  add_prn_dirs(&page, {"A", "x');alert(1);//<b>"});
  ASSERT_EQ(page.body.size(), 4u);
  EXPECT_EQ(page.body[0], "<div id='prns_dir_div'><div id='options_scroll'><table id='options_table'>");
  EXPECT_EQ(page.body[1], "<tr><td class='options_td' onclick=\"upload_prns('A');\">A</td></tr>");
  EXPECT_EQ(page.body[2],
            "<tr><td class='options_td' onclick=\"upload_prns('x\\x27);alert(1);//\\x3cb\\x3e');\">"
            "x&#39;);alert(1);//&lt;b&gt;</td></tr>");
  EXPECT_EQ(page.head, (std::vector<std::string>{"<script>var options_visible=6;</script>\n",
                                                 "<script>var n_options=2;</script>\n"}));
  Page none;
  add_prn_dirs(&none, {});
  EXPECT_TRUE(none.body.empty() && none.head.empty());
}

TEST(Header, NamesEscapedAndMissingDocumentSaid) {
  Page page;
  add_page_start(&page, true, "<S1>", "25/11/26 14:03:59");
  EXPECT_EQ(page.head.size(), 6u);
  EXPECT_EQ(page.body[3], "<br><font size=4>Printer #:&lt;S1&gt;<br>Time: 25/11/26 14:03:59</font size>");
  Page missing;
  add_page_start(&missing, false, "", "");
  EXPECT_EQ(missing.body[3], "<br>Could not load system data!");
}

}  // namespace
}  // namespace usb
