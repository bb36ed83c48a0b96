#include "library/placing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/fsops.h"
#include "testkit/scenario.h"

namespace {

class Placing : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"/in/thumbs", "/lib/thumbs", "/wait"}) ASSERT_TRUE(ld::make_dirs(root(d)));
  }
  std::vector<std::string> in(const std::string& dir) {
    std::vector<std::string> names = testkit::list_dir(root(dir));
    std::sort(names.begin(), names.end());
    return names;
  }
  library::Placement job_with_thumb(const std::string& name) {
    testkit::spit(root("/in/" + name), "job " + name);
    testkit::spit(root("/in/thumbs/x.jpeg"), "picture");
    library::Placement p;
    p.job = root("/in/" + name);
    p.thumb = root("/in/thumbs/x.jpeg");
    p.dir = root("/lib/");
    p.thumbs = root("/lib/thumbs/");
    p.name = name;
    return p;
  }
  testkit::TempRoot root;
  std::string stored, err;
};

// A name is taken by a job, by the thumbnail its job would get, or in a further folder; the
// job then gets the first free number, and its thumbnail goes with it.
TEST_F(Placing, TakenNamesAreNeverReplaced) {
  testkit::spit(root("/lib/a.prn"), "old");
  testkit::spit(root("/lib/thumbs/a1.jpeg"), "other picture");
  testkit::spit(root("/wait/a2.prn"), "waiting");
  library::Placement p = job_with_thumb("a.prn");
  p.free_in = {root("/wait/")};
  EXPECT_EQ(library::first_free_name(p), "a3.prn");
  ASSERT_EQ(library::place_job(p, &stored, &err), library::Placed::kPlaced) << err;
  EXPECT_EQ(stored, "a3.prn");
  EXPECT_EQ(testkit::slurp(root("/lib/a.prn")), "old");
  EXPECT_EQ(testkit::slurp(root("/lib/a3.prn")), "job a.prn");
  EXPECT_EQ(testkit::slurp(root("/lib/thumbs/a3.jpeg")), "picture");
  EXPECT_EQ(testkit::slurp(root("/lib/thumbs/a1.jpeg")), "other picture");
  EXPECT_EQ(in("/in"), std::vector<std::string>{"thumbs"});
  EXPECT_EQ(in("/in/thumbs"), std::vector<std::string>{});

  p = job_with_thumb("b.prn");
  p.max_suffix = 0;
  testkit::spit(root("/lib/b.prn"), "old");
  EXPECT_EQ(library::place_job(p, &stored, &err), library::Placed::kNoName);
  EXPECT_EQ(testkit::slurp(root("/in/b.prn")), "job b.prn");
  EXPECT_TRUE(ld::file_exists(root("/in/thumbs/x.jpeg")));
}

// The import's replace: the old job stays until the new one takes its name in one step; a
// folder under the name refuses it before the old thumbnail is touched.
TEST_F(Placing, ReplaceTakesTheNameWholeOrNotAtAll) {
  testkit::spit(root("/lib/a.prn"), "old");
  testkit::spit(root("/lib/thumbs/a.jpeg"), "old picture");
  library::Placement p = job_with_thumb("a.prn");
  p.replace = true;
  ASSERT_EQ(library::place_job(p, &stored, &err), library::Placed::kPlaced) << err;
  EXPECT_EQ(testkit::slurp(root("/lib/a.prn")), "job a.prn");
  EXPECT_EQ(testkit::slurp(root("/lib/thumbs/a.jpeg")), "picture");
  EXPECT_EQ(in("/lib"), (std::vector<std::string>{"a.prn", "thumbs"}));

  ASSERT_TRUE(ld::make_dirs(root("/lib/c.prn")));
  testkit::spit(root("/lib/thumbs/c.jpeg"), "old picture");
  p = job_with_thumb("c.prn");
  p.replace = true;
  EXPECT_EQ(library::place_job(p, &stored, &err), library::Placed::kFailed);
  EXPECT_EQ(err, "cannot replace " + root("/lib/c.prn") + ": a folder");
  EXPECT_EQ(testkit::slurp(root("/lib/thumbs/c.jpeg")), "old picture");
  EXPECT_TRUE(ld::file_exists(root("/in/c.prn")) && ld::file_exists(root("/in/thumbs/x.jpeg")));
}

// Only a regular file is placed: a link (whatever it points to) or a FIFO stays where it is.
TEST_F(Placing, OnlyRegularFilesArePlaced) {
  testkit::spit(root("/secret"), "not a job");
  ASSERT_EQ(::symlink(root("/secret").c_str(), root("/in/link.prn").c_str()), 0);
  ASSERT_EQ(::mkfifo(root("/in/fifo.prn").c_str(), 0644), 0);
  for (const char* name : {"link.prn", "fifo.prn"}) {
    library::Placement p;
    p.job = root(std::string("/in/") + name);
    p.dir = root("/lib/");
    p.name = name;
    EXPECT_EQ(library::place_job(p, &stored, &err), library::Placed::kFailed) << name;
  }
  EXPECT_EQ(in("/lib"), std::vector<std::string>{"thumbs"});
}

// From another file system the job is copied under a hidden name, shows under its own only
// when whole, and its original goes.
TEST_F(Placing, AcrossFileSystemsTheJobArrivesWhole) {
  struct stat shm, tmp;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(root("/lib").c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  char dir[] = "/dev/shm/labeldock-place-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string from = std::string(dir) + "/a.prn";
  testkit::spit(from, std::string(200000, 'j'));
  library::Placement p;
  p.job = from;
  p.dir = root("/lib/");
  p.name = "a.prn";
  EXPECT_EQ(library::place_job(p, &stored, &err), library::Placed::kPlaced) << err;
  EXPECT_EQ(ld::file_size(root("/lib/a.prn")), 200000);
  EXPECT_FALSE(ld::file_exists(from));
  EXPECT_EQ(in("/lib"), (std::vector<std::string>{"a.prn", "thumbs"}));
  ld::remove_tree(dir);
}

}  // namespace
