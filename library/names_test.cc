#include "library/names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "common/fsops.h"
#include "library/folders.h"
#include "library/listing.h"
#include "testkit/scenario.h"

namespace {

// Every name rule for one folder entry at once, so a rule that drifts shows with its neighbours.
struct NameCase {
  const char* entry;
  bool job;
  const char* thumb;   // thumb_name
  const char* beside;  // thumb_beside("/d/" + entry)
};

TEST(LibraryNames, OneTableForEveryEntry) {
  const NameCase cases[] = {
      {"a.prn", true, "a.jpeg", "/d/thumbs/a.jpeg"},
      {"label.prn.prn", true, "label.prn.jpeg", "/d/thumbs/label.prn.jpeg"},  // sent as "label.prn"
      {"label.prnx.prn", true, "label.prnx.jpeg", "/d/thumbs/label.prnx.jpeg"},
      {"x.prn.bak", true, "x.jpeg", "/d/thumbs/x.jpeg"},  // a copy is still a job
      {"a.prnx", false, "a.jpeg", "/d/thumbs/a.jpeg"},
      {"prn_meta", false, "prn_meta.jpeg", "/d/thumbs/prn_meta.jpeg"},
      {"notes.txt", false, "notes.txt.jpeg", "/d/thumbs/notes.txt.jpeg"},
      {".incoming-1.prn", false, ".incoming-1.jpeg", "/d/thumbs/.incoming-1.jpeg"},
      {".prn", false, ".jpeg", "/d/thumbs/.jpeg"},
      {"", false, ".jpeg", "/d/thumbs/.jpeg"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(library::is_job_name(c.entry), c.job);
    EXPECT_EQ(library::thumb_name(c.entry), c.thumb);
    EXPECT_EQ(library::thumb_beside(std::string("/d/") + c.entry), c.beside);
    EXPECT_EQ(library::web_thumb(c.entry), std::string("thumbs/") + c.thumb);
  }
  EXPECT_EQ(library::thumb_beside("a.prn"), "./thumbs/a.jpeg");
  // A request names a job with or without its ending; a name holding ".prn" anywhere is whole.
  EXPECT_EQ(library::job_file_of("a"), "a.prn");
  EXPECT_EQ(library::job_file_of("a.prn"), "a.prn");
  EXPECT_EQ(library::job_file_of("a.prn.bak"), "a.prn.bak");
  EXPECT_TRUE(library::is_hidden(".x"));
  EXPECT_FALSE(library::is_hidden("x."));
}

TEST(LibraryFolders, AllUnderTheRoot) {
  testkit::TempRoot root;
  EXPECT_EQ(library::jobs_dir(), root("/print/prns/"));
  EXPECT_EQ(library::work_dir(), root("/print/prns/tmp/thumbs/"));
  EXPECT_EQ(library::thumb_flag(), root("/tmp/run_prn2jpg"));
  EXPECT_EQ(library::cache_file(), root("/print/prns/prn_meta"));
  EXPECT_EQ(library::web_thumbs_dir(), root("/var/www/html/thumbs/"));
}

// A scratch file is hidden, so a listing of job names never takes it up, whatever its ending.
TEST(LibraryListing, ListsJobNamesAndNeverScratchFiles) {
  testkit::TempRoot root;
  const std::string dir = library::waiting_dir();
  ASSERT_TRUE(ld::make_dirs(dir + "sub.prn"));
  for (const char* n : {"b.prn", "a.prn", "notes.txt"}) ASSERT_TRUE(ld::touch_file(dir + n));
  std::string path;
  ld::UniqueFd fd = library::make_scratch(dir, "import", ".prn", &path);
  ASSERT_TRUE(fd.valid()) << path;
  struct stat st;
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(path.rfind(dir + ".import-", 0), 0u) << path;

  std::vector<std::string> jobs, all;
  ASSERT_TRUE(library::list_names(dir, &jobs, library::is_job_name));
  ASSERT_TRUE(library::list_names(dir, &all));
  std::sort(jobs.begin(), jobs.end());
  EXPECT_EQ(jobs, (std::vector<std::string>{"a.prn", "b.prn", "sub.prn"}));  // folders are the caller's to judge
  EXPECT_EQ(all.size(), 5u);
  errno = 0;
  EXPECT_FALSE(library::list_names(dir + "missing", &all));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(library::make_scratch(dir + "missing/", "x", "", &path).valid());
}

}  // namespace
