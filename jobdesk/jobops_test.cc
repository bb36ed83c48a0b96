#include "jobdesk/jobops.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/fsops.h"
#include "library/prnrecord.h"
#include "testkit/cgi_page.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "library/marker.h"
#include "webkit/html_utils.h"

namespace {

class JobOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ld::make_dirs(root("/print/prns/thumbs")));
    ASSERT_TRUE(ld::make_dirs(root("/var/www/html")));
    // The web root's thumbnail folder is the job folder's, as on the appliance.
    ASSERT_EQ(symlink(root("/print/prns/thumbs").c_str(), root("/var/www/html/thumbs").c_str()), 0);
    l.err = open_memstream(&text, &len);
    l.log = [](std::string_view) {};
  }
  void TearDown() override {
    fclose(l.err);
    free(text);
  }
  std::string messages() {
    fflush(l.err);
    return std::string(text, len);
  }
  void add_job(const std::string& base) {
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/" + base + ".prn"),
                                      testkit::make_job(testkit::JobSpec{})));
    auto seg = library::marker_segment(1, 1, 1);
    std::string jpeg = "\xFF\xD8" + std::string(seg.begin(), seg.end()) + "\xFF\xD9";
    ASSERT_TRUE(ld::write_file_atomic(root("/print/prns/thumbs/" + base + ".jpeg"), jpeg));
  }
  bool job(const std::string& base) { return ld::file_exists(root("/print/prns/" + base + ".prn")); }
  bool thumb(const std::string& base) {
    return ld::file_exists(root("/print/prns/thumbs/" + base + ".jpeg"));
  }
  testkit::TempRoot root;
  webkit::Page html;
  jobdesk::PrnList l;
  char* text = nullptr;
  size_t len = 0;
};

TEST_F(JobOpsTest, RenameMovesJobAndThumbnailAndEmptiesTheCache) {
  add_job("a");
  jobdesk::get_prn_list(&l);
  ASSERT_EQ(jobdesk::do_rename(&html, &l, "a.prn", "b"), 1);
  EXPECT_TRUE(job("b") && thumb("b"));
  EXPECT_FALSE(job("a") || thumb("a"));
  EXPECT_EQ(ld::file_size(root("/print/prns/prn_meta")), 4);
  std::string m = messages();
  EXPECT_NE(m.find("a.prn<>b.prn 0\ndo_rename b.prn 0\n"
                   "do_rename /bin/mv /print/prns/a.prn /print/prns/b.prn\n"
                   "do_rename /bin/mv /var/www/html/thumbs/a.jpeg /var/www/html/thumbs/b.jpeg\n"
                   "JOBDESK do_rename done\n"),
            std::string::npos)
      << m;
}

TEST_F(JobOpsTest, RenameOntoAnExistingJobChangesNothing) {
  add_job("a");
  add_job("b");
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", "b"), 0);
  EXPECT_TRUE(job("a") && thumb("a") && job("b") && thumb("b"));
  EXPECT_NE(testkit::page_text(&html).find("var popup_msg=\"Duplicate filename!\""),
            std::string::npos);
}

// thumbmaker names a waiting job's thumbnail after the name up to its last ".prn": a rename to
// that base would share the thumbnail once the job arrives. Other names are free.
TEST_F(JobOpsTest, RenameMeetsTheThumbnailOfAWaitingJob) {
  add_job("a");
  ASSERT_TRUE(ld::make_dirs(root("/print/prns/tmp")));
  ASSERT_TRUE(ld::touch_file(root("/print/prns/tmp/x.prnb.prn.bak")));
  EXPECT_TRUE(jobdesk::name_taken("x.prnb", l.err));
  EXPECT_FALSE(jobdesk::name_taken("x", l.err));
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", "x"), 1);
}

TEST_F(JobOpsTest, RenameRefusesNamesThatLeaveTheFolderOrDoNotFit) {
  add_job("a");
  const char* bad[] = {"", ".", "..", "../a", "x/y", "tab\there", "nl\n", ".hidden"};
  std::string too_long(96, 'n');  // with ".prn" past the one name limit of 99 bytes
  for (const char* name : bad) {
    EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", name), 0) << name;
    EXPECT_NE(testkit::page_text(&html).find("var popup_msg=\"Invalid filename!\""),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", too_long.c_str()), 0);
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "../prns/a.prn", "b"), 0);
  EXPECT_EQ(jobdesk::do_rename(&html, &l, nullptr, "b"), 0);
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", nullptr), 0);
  EXPECT_NE(messages().find("do_rename error prn is null\ndo_rename error renameTo is null\n"),
            std::string::npos);
  EXPECT_TRUE(job("a") && thumb("a"));
  EXPECT_EQ(jobdesk::do_rename(&html, &l, "a.prn", std::string(95, 'k').c_str()), 1);
}

TEST_F(JobOpsTest, MultiDeleteKeepsTheCacheInStep) {
  add_job("a");
  add_job("b");
  add_job("c");
  jobdesk::get_prn_list(&l);
  jobdesk::PrnList del;
  del.err = l.err;
  EXPECT_EQ(jobdesk::do_multi_delete(&html, &del, "multidelete=1&delp=a.prn&delp=c.prn"), 2);
  EXPECT_FALSE(job("a") || thumb("a") || job("c") || thumb("c"));
  EXPECT_TRUE(job("b"));
  EXPECT_NE(messages().find("delete prn <a.prn>\ndelete prn <c.prn>\n"), std::string::npos);
  EXPECT_EQ(ld::file_size(root("/print/prns/prn_meta")), int64_t(4 + jobdesk::kPrnInfoSize));
  jobdesk::PrnList next;
  next.err = l.err;
  size_t before = messages().size();
  EXPECT_EQ(jobdesk::get_prn_list(&next), 1);
  EXPECT_EQ(messages().substr(before).find("does not match"), std::string::npos);
}

TEST_F(JobOpsTest, DeleteEscapesTheNameAndRefusesPaths) {
  add_job("x");
  add_job("<script>alert('x')");
  std::string evil = "<script>alert('x').prn";
  EXPECT_EQ(jobdesk::do_delete(&html, l, evil), 1);
  std::string page = testkit::page_text(&html);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("var delete_prn='\\x3Cscript\\x3Ealert(\\'x\\')"), std::string::npos);
  EXPECT_EQ(jobdesk::do_delete(&html, l, "../prns/x.prn"), 0);
  // Only a job of the library: not the cache, not a name the folder lacks.
  EXPECT_EQ(jobdesk::do_delete(&html, l, "prn_meta"), 0);
  EXPECT_EQ(jobdesk::do_delete(&html, l, "gone.prn"), 0);
  EXPECT_TRUE(job("x"));
}

TEST(NameCoding, UrlCodingTurnsBackExactlyItsSevenCharacters) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\"#%&'+`b", "a%22%23%25%26%27%2B%60b"}, {"plain name", "plain name"}};
  for (auto [plain, coded] : cases) {
    EXPECT_EQ(jobdesk::esc_url(plain), coded);
    EXPECT_EQ(jobdesk::unesc_url(coded), plain);
  }
  EXPECT_EQ(jobdesk::unesc_url("%41%2F%2"), "%41%2F%2");  // other sequences stay
  EXPECT_EQ(jobdesk::unesc_url("x%2by%2b%26%22"), "x%2by%2b&\"");  // lower case is no code
}

}  // namespace
