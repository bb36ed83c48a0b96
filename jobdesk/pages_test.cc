#include "jobdesk/pages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "common/fsops.h"
#include "testkit/cgi_page.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "library/marker.h"
#include "webkit/html_utils.h"

namespace {

TEST(PageFigures, SizesHaveNoGapBetweenKilobytesAndMegabytes) {
  struct Case { int64_t bytes; const char* text; } cases[] = {
      {0, "(0kB)"},          {800000, "(781kB)"},   {800001, "(781kB)"},
      {999999, "(976kB)"},   {1000000, "(1MB)"},    {5500000, "(5MB)"},
  };
  for (const auto& c : cases) EXPECT_EQ(jobdesk::size_text(c.bytes), c.text) << c.bytes;
}

TEST(PageFigures, DiskUsageHoldsOnHugeFileSystems) {
  struct Case { uint64_t avail, total; int used; } cases[] = {
      {250, 1000, 75},
      {0, 1000, 100},
      {1000, 1000, 0},
      {0, 0, 0},
      // 100 x available exceeds 64 bits here; the old product wrapped to a wrong figure.
      {UINT64_MAX / 4, UINT64_MAX / 2, 50},
      {uint64_t{1} << 62, (uint64_t{1} << 62) + (uint64_t{1} << 61), 34},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jobdesk::disk_used_percent(c.avail, c.total), c.used) << c.avail << "/" << c.total;
  }
}

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ld::make_dirs(root("/print/prns/thumbs")));
    ASSERT_TRUE(ld::make_dirs(root("/var/www/html")));
    ASSERT_EQ(symlink(root("/print/prns/thumbs").c_str(), root("/var/www/html/thumbs").c_str()), 0);
    l.err = open_memstream(&text, &len);
    l.log = [](std::string_view) {};
    ctx.base = "/cgi-bin/jobdesk";
  }
  void TearDown() override {
    fclose(l.err);
    free(text);
  }
  void add_job(const std::string& base, int pages = 1) {
    testkit::JobSpec wanted;
    wanted.pages = pages;
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/" + base + ".prn"), testkit::make_job(wanted)));
    auto seg = library::marker_segment(pages, 1, 1);
    std::string jpeg = "\xFF\xD8" + std::string(seg.begin(), seg.end()) + "\xFF\xD9";
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/thumbs/" + base + ".jpeg"), jpeg));
  }
  testkit::TempRoot root;
  webkit::Page html;
  jobdesk::PrnList l;
  jobdesk::PageContext ctx;
  char* text = nullptr;
  size_t len = 0;
};

TEST_F(PagesTest, ListShowsEscapedNamesFiltersCaseSensitivelyAndCounts) {
  add_job("invoice");
  add_job("Invoice");
  add_job("inv<script>alert(1)");
  std::string q = "list=1&filter=inv&sortby=name";
  ctx.query = q.c_str();
  jobdesk::show_prn_list(&html, &l, ctx, 0);
  std::string page = testkit::page_text(&html);
  EXPECT_NE(page.find("inv&lt;script&gt;alert(1)"), std::string::npos);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find(">invoice\n"), std::string::npos);
  EXPECT_EQ(page.find(">Invoice\n"), std::string::npos);
  EXPECT_NE(page.find("var n_thumbs=2;"), std::string::npos);
  EXPECT_NE(page.find("var total_n_thumbs=3;"), std::string::npos);
  EXPECT_NE(page.find("sortby('/cgi-bin/jobdesk','NAME');\">File&#9660</td>"), std::string::npos);
  EXPECT_NE(page.find("name='delp' value='invoice.prn'"), std::string::npos);
}

TEST_F(PagesTest, GalleryShowsPagesAndTheThumbnailAddress) {
  add_job("a", 1);
  add_job("b", 3);
  std::string q = "list=0&sortby=PAGES";
  ctx.query = q.c_str();
  jobdesk::show_prn_list(&html, &l, ctx, 0);
  std::string page = testkit::page_text(&html);
  EXPECT_NE(page.find("<table id='icontb'><tr>"), std::string::npos);
  EXPECT_NE(page.find("<div>1 Page</div>"), std::string::npos);
  EXPECT_NE(page.find("<div>3 Pages</div>"), std::string::npos);
  EXPECT_NE(page.find("src='../thumbs/a.jpeg?"), std::string::npos);
  EXPECT_EQ(page.find("vlist"), std::string::npos);
  EXPECT_LT(page.find("<div>3 Pages"), page.find("<div>1 Page<"));  // PAGES: most first
}

TEST_F(PagesTest, ExitLeadsToThePrintersTouchHomePage) {
  // The page is shown on the appliance; the home page is the printer's, under its host alias.
  const char* old = getenv("LABELDOCK_PRINTER_HOST");
  std::string saved = old ? old : "";
  setenv("LABELDOCK_PRINTER_HOST", "printer.test", 1);
  std::string q = "list=1";
  ctx.query = q.c_str();
  jobdesk::show_prn_list(&html, &l, ctx, 0);
  jobdesk::show_queue(&html, ctx, l.queue, nullptr);
  if (old) setenv("LABELDOCK_PRINTER_HOST", saved.c_str(), 1); else unsetenv("LABELDOCK_PRINTER_HOST");
  std::string page = testkit::page_text(&html);
  const std::string exit_div =
      "<div id='returndiv' onclick=\"window.location='http://printer.test/?touch=true';\">Exit</div>";
  size_t first = page.find(exit_div);
  ASSERT_NE(first, std::string::npos) << page;
  EXPECT_NE(page.find(exit_div, first + 1), std::string::npos);  // the queue page's too
  EXPECT_EQ(page.find("window.location.host"), std::string::npos);
}

TEST_F(PagesTest, JobPageEscapesTheNameInEveryPlace) {
  add_job("o'k\"<b>");
  std::string q = "prn=x";
  ctx.query = q.c_str();
  ASSERT_EQ(jobdesk::show_prn(&html, &l, "o'k\"<b>.prn", ctx, 2), 1);
  std::string page = testkit::page_text(&html);
  EXPECT_EQ(page.find("<b>.prn"), std::string::npos);
  EXPECT_NE(page.find("name='prn' value='o%27k%22&lt;b&gt;.prn'"), std::string::npos);
  EXPECT_NE(page.find("name='inum' value='2'"), std::string::npos);
  EXPECT_NE(page.find("value='o&#39;k\\&quot;&lt;b&gt;'"), std::string::npos);
  EXPECT_EQ(jobdesk::show_prn(&html, &l, "gone.prn", ctx, 0), 0);
}

}  // namespace
