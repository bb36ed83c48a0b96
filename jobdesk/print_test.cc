#include "jobdesk/print.h"

#include <gtest/gtest.h>

#include "common/fsops.h"
#include "spooler/jobstream.h"
#include "testkit/cgi_page.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "library/marker.h"
#include "webkit/html_utils.h"

using spooler::get_printq;
using spooler::pause_printing;
using spooler::queue_record;

namespace {

const std::string kTags = std::string(LABELDOCK_SOURCE_DIR) + "/jobdesk/samples/tags.json";

int count_pages(const std::string& path) {
  zjs::Reader r;
  std::string err;
  if (!r.open(path, &err) || !r.read_signature(false, &err)) return -1;
  zjs::ChunkHeader h;
  int pages = 0;
  while (r.next_chunk(&h) == zjs::Reader::kOk) pages += h.type == zjs::START_PAGE;
  return pages;
}

TEST(PrintValues, OptionValuesScaleByTheirDecimals) {
  library::PrnOption o;
  o.field_id = "v";
  struct Case {
    int decimals;
    const char* query;
    int32_t want;
  } cases[] = {{2, "v=1.5", 150}, {0, "v=7", 7},       {2, "x=1", 0},   {1, "v=-2.55", -25},
               {3, "v=abc", 0},  {2, "v=1e300", 2147483647}, {0, "", 0},
               // Typed decimals are taken as written, not as their nearest binary fraction:
               // 2.51 x 100 is 250.99999999999997 in doubles, 0.29 x 100 is 28.999999999999996.
               {2, "v=2.51", 251}, {2, "v=0.29", 29}, {2, "v=-1.15", -115}, {3, "v=4.35", 4350},
               {2, "v=1.999", 199}};
  for (const Case& c : cases) {
    o.decimals = c.decimals;
    EXPECT_EQ(jobdesk::option_write_value(webkit::Page{}, c.query, o), c.want) << c.query;
  }
}

TEST(PrintValues, QualityAndPageRangeFromTheForm) {
  struct Case {
    const char* query;
    int32_t quality, first, last;
  } cases[] = {{"quality=-3&from_disp=2&to_disp=4", -3, 2, 4},
               {"quality=-4", -4, 1, 1},
               {"quality=-5&from_disp=-1", 0, 1, 1},
               {"quality=-30", 0, 1, 1}};
  for (const Case& c : cases) {
    spooler::print_settings s = jobdesk::read_print_settings(webkit::Page{}, c.query);
    EXPECT_EQ(s.quality, c.quality) << c.query;
    EXPECT_EQ(s.from, c.first) << c.query;
    EXPECT_EQ(s.to, c.last) << c.query;
  }
  EXPECT_EQ(jobdesk::queue_display_name("a.prn", 2, 4), "a_2_4");
  EXPECT_EQ(jobdesk::queue_display_name("a.prn", 1, 1), "a");
}

class PrintTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ld::make_dirs(root("/print/prns")));
    ASSERT_TRUE(ld::make_dirs(root("/print/printq")));
    testkit::JobSpec wanted;
    wanted.pages = 4;
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/a.prn"), testkit::make_job(wanted)));
    // A library job has its marked thumbnail: a save reads the job's record afresh, and a job
    // without one would vanish from the library as the list rule says.
    auto seg = library::marker_segment(1, 4, 1);
    std::string jpeg = "\xFF\xD8";
    jpeg.append(reinterpret_cast<const char*>(seg.data()), seg.size());
    ASSERT_TRUE(ld::make_dirs(root("/print/prns/thumbs")));
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/thumbs/a.jpeg"), jpeg + "\xFF\xD9"));
    l.err = open_memstream(&text, &len);
    l.log = [this](std::string_view t) { events.emplace_back(t); };
  }
  void TearDown() override {
    fclose(l.err);
    free(text);
  }
  testkit::TempRoot root;
  webkit::Page html;
  jobdesk::PrnList l;
  std::vector<std::string> events;
  char* text = nullptr;
  size_t len = 0;
};

TEST_F(PrintTest, PrintQueuesUnderTheFirstFreeName) {
  ASSERT_TRUE(ld::touch_file(root("/print/printq/a_0.spl")));
  ASSERT_EQ(jobdesk::do_print(&html, &l, "a.prn", jobdesk::kPrintMode,
                              "quality=-5&from_disp=2&to_disp=4&dm_copies=2&gaplen=1.5", kTags),
            1);
  std::vector<queue_record> q = get_printq(spooler::Config{});
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(std::string(q[0].path), root("/print/printq/a_1.spl"));
  EXPECT_EQ(std::string(q[0].displayname), "a_2_4");
  EXPECT_EQ(q[0].quality, 0);
  EXPECT_EQ(q[0].copies, 2);
  EXPECT_EQ(q[0].ntags, 7);
  EXPECT_EQ(q[0].tags[4].id, 0x8605);
  EXPECT_EQ(q[0].tags[4].value, 150);
  EXPECT_TRUE(ld::file_exists(root("/print/printq/a_1.spl")));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "prnfilt from=2 to=4 dm=2 collate=0 quality=0 noptions=7");
  EXPECT_NE(testkit::page_text(&html).find("http-equiv='refresh'"), std::string::npos);
}

// A job that could not be queued (here the queue file cannot be written) is never shown as
// printing: no queue copy stays and the screen is not sent to the printer.
TEST_F(PrintTest, PrintThatCannotQueueIsNoSuccess) {
  ASSERT_TRUE(ld::make_dirs(root("/print/printq/printq")));
  EXPECT_EQ(jobdesk::do_print(&html, &l, "a.prn", jobdesk::kPrintMode, "", kTags), 0);
  EXPECT_EQ(testkit::page_text(&html).find("http-equiv"), std::string::npos);
  EXPECT_FALSE(ld::file_exists(root("/print/printq/a_0.spl")));
}

TEST_F(PrintTest, PausedQueueKeepsTheScreenAndFullQueueRefuses) {
  ASSERT_EQ(pause_printing(spooler::Config{}), 1);
  ASSERT_EQ(jobdesk::do_print(&html, &l, "a.prn", jobdesk::kPrintMode, "", kTags), 1);
  EXPECT_EQ(testkit::page_text(&html).find("http-equiv"), std::string::npos);
  for (int n = 0; n < 100; ++n) {
    ASSERT_TRUE(ld::touch_file(root("/print/printq/b_" + std::to_string(n) + ".prn")));
  }
  ASSERT_TRUE(ld::copy_file(root("/print/prns/a.prn"), root("/print/prns/b.prn")));
  EXPECT_EQ(jobdesk::do_print(&html, &l, "b.prn", jobdesk::kPrintMode, "", kTags), 0);
}

TEST_F(PrintTest, SaveReplacesTheJobWithTheFilteredOne) {
  ASSERT_EQ(jobdesk::do_print(&html, &l, "a.prn", jobdesk::kSaveMode,
                              "from=2&to=3&dm_copies_orig=1", kTags),
            1);
  EXPECT_EQ(count_pages(root("/print/prns/a.prn")), 2);
  EXPECT_FALSE(ld::file_exists(root("/print/printq/a.prn")));
}

TEST_F(PrintTest, FailedSaveLeavesTheJobAsItWas) {
  std::string broken = "JZJZ not really a job";
  ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/a.prn"), broken));
  EXPECT_EQ(jobdesk::do_print(&html, &l, "a.prn", jobdesk::kSaveMode, "from=1&to=1", kTags), 1);
  std::string now;
  ASSERT_TRUE(ld::read_file(root("/print/prns/a.prn"), &now));
  EXPECT_EQ(now, broken);
  EXPECT_FALSE(ld::file_exists(root("/print/printq/a.prn")));
  EXPECT_EQ(jobdesk::do_print(&html, &l, "../prns/a.prn", jobdesk::kSaveMode, "", kTags), 1);
  EXPECT_TRUE(ld::file_exists(root("/print/prns/a.prn")));
}

}  // namespace
