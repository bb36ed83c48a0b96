// The durability rules of cutfs, each shown by what the backing folder holds after a cut.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>

#include "common/fsops.h"
#include "testkit/cutfs_mount.h"
#include "testkit/scenario.h"

namespace {

using Files = std::map<std::string, std::string>;  // relative path -> bytes

// Writes through the mount; fsyncs the file when `sync` says so.
void put(const std::string& path, const std::string& bytes, bool sync, int flags = O_TRUNC) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_TRUE(ld::write_all(fd, bytes.data(), bytes.size()));
  if (sync) {
    ASSERT_EQ(::fsync(fd), 0);
  }
  ::close(fd);
}

void sync_dir(const std::string& dir) {
  std::string err;
  ASSERT_TRUE(ld::fsync_dir(dir, &err)) << err;
}

// Every regular file below `dir`, with its bytes.
void collect(const std::string& dir, const std::string& rel, Files* out) {
  for (const std::string& n : testkit::list_dir(dir)) {
    std::string full = dir + "/" + n;
    if (ld::is_directory(full)) collect(full, rel + n + "/", out);
    else (*out)[rel + n] = testkit::slurp(full);
  }
}

class CutFs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testkit::cutfs_usable(&why)) GTEST_SKIP() << "cutfs cannot run here: " << why;
    base_ = root_.path() + "/cut";
    backing_ = base_ + "/disk";
    mnt_ = base_ + "/mnt";
    ld::make_dirs(backing_ + "/d");
    ld::make_dirs(mnt_);
    testkit::spit(backing_ + "/d/old", "old");
    mount_ = std::make_unique<testkit::CutMount>(backing_, mnt_, base_ + "/manifest");
    if (!mount_->ok()) GTEST_SKIP() << "cutfs cannot mount here: " << mount_->why();
  }
  Files after_cut() {
    EXPECT_TRUE(mount_->cut());
    Files f;
    collect(backing_, "", &f);
    return f;
  }
  testkit::TempRoot root_;
  std::string base_, backing_, mnt_;
  std::unique_ptr<testkit::CutMount> mount_;
};

struct Case {
  const char* rule;
  std::function<void(const std::string& d)> act;  // `d` is the folder "d" on the mount
  Files expected;
};

TEST_F(CutFs, EachDurabilityRuleShowsAfterTheCut) {
  const std::vector<Case> cases = {
      {"nothing synced: the new file is lost", [](const std::string& d) { put(d + "/new", "x", false); },
       {{"d/old", "old"}}},
      {"name synced, data not: the file comes back empty",
       [](const std::string& d) { put(d + "/new", "x", false), sync_dir(d); },
       {{"d/new", ""}, {"d/old", "old"}}},
      {"fsync of a new file keeps its data and its name",
       [](const std::string& d) { put(d + "/new", "x", true); }, {{"d/new", "x"}, {"d/old", "old"}}},
      {"rename over without a folder sync: the old bytes stay, the synced temporary too",
       [](const std::string& d) { put(d + "/tmp", "new", true), ::rename((d + "/tmp").c_str(), (d + "/old").c_str()); },
       {{"d/old", "old"}, {"d/tmp", "new"}}},
      {"rename over and a folder sync: the new bytes",
       [](const std::string& d) {
         put(d + "/tmp", "new", true), ::rename((d + "/tmp").c_str(), (d + "/old").c_str()), sync_dir(d);
       },
       {{"d/old", "new"}}},
      {"rename over, then fsync of the renamed file: its names are committed",
       [](const std::string& d) {
         put(d + "/tmp", "new", true), ::rename((d + "/tmp").c_str(), (d + "/old").c_str());
         int fd = ::open((d + "/old").c_str(), O_RDONLY);
         ::fsync(fd), ::close(fd);
       },
       {{"d/old", "new"}}},
      {"an unsynced rewrite leaves the synced bytes",
       [](const std::string& d) { put(d + "/old", "rewritten", false); }, {{"d/old", "old"}}},
      {"an unsynced append is lost, the synced part kept",
       [](const std::string& d) { put(d + "/old", "+1", true, O_APPEND), put(d + "/old", "+2", false, O_APPEND); },
       {{"d/old", "old+1"}}},
      {"unlink without a folder sync comes back",
       [](const std::string& d) { ::unlink((d + "/old").c_str()); }, {{"d/old", "old"}}},
      {"unlink with a folder sync is gone", [](const std::string& d) { ::unlink((d + "/old").c_str()), sync_dir(d); },
       {}},
      {"a synced file in a new folder is lost with the folder's unsynced name",
       [](const std::string& d) { ::mkdir((d + "/sub").c_str(), 0755), put(d + "/sub/f", "x", true); },
       {{"d/old", "old"}}},
      {"fsync of the new folder itself commits its name",
       [](const std::string& d) { ::mkdir((d + "/sub").c_str(), 0755), put(d + "/sub/f", "x", true), sync_dir(d + "/sub"); },
       {{"d/old", "old"}, {"d/sub/f", "x"}}},
      {"a symbolic link without a folder sync is lost",
       [](const std::string& d) { ::symlink("old", (d + "/ln").c_str()); }, {{"d/old", "old"}}},
      {"a symbolic link with a folder sync comes back pointing where it did",
       [](const std::string& d) { ::symlink("old", (d + "/ln").c_str()), sync_dir(d); },
       {{"d/ln", "old"}, {"d/old", "old"}}},
      {"write_file_atomic survives whole",
       [](const std::string& d) { ASSERT_TRUE(ld::write_file_atomic(d + "/old", "atomic")); }, {{"d/old", "atomic"}}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].rule);
    if (i > 0) {  // a fresh mount on the starting state for every rule
      mount_.reset();
      ld::remove_tree(backing_);
      ld::make_dirs(backing_ + "/d");
      testkit::spit(backing_ + "/d/old", "old");
      mount_ = std::make_unique<testkit::CutMount>(backing_, mnt_);
      ASSERT_TRUE(mount_->ok()) << mount_->why();
    }
    cases[i].act(mnt_ + "/d");
    EXPECT_EQ(after_cut(), cases[i].expected);
  }
}

TEST_F(CutFs, TheCutListsTheLiveFilesAndStopsEveryOperation) {
  put(mnt_ + "/d/live", "12345", false);
  int fd = ::open((mnt_ + "/d/old").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(mount_->cut());
  char c;
  EXPECT_LT(::read(fd, &c, 1), 0);  // the power is gone for programs still running
  ::close(fd);
  EXPECT_EQ(testkit::slurp(base_ + "/manifest"), "5 /d/live\n3 /d/old\n");
  EXPECT_NE(mount_->messages().find("cutfs: power cut: 1 files lose data, 1 folders lose names"),
            std::string::npos)
      << mount_->messages();
}

TEST_F(CutFs, ACleanUnmountWritesEverything) {
  put(mnt_ + "/d/new", "kept", false);
  ASSERT_EQ(::rename((mnt_ + "/d/old").c_str(), (mnt_ + "/d/older").c_str()), 0);
  ASSERT_EQ(::link((mnt_ + "/d/new").c_str(), (mnt_ + "/d/also").c_str()), 0);
  mount_.reset();
  Files f;
  collect(backing_, "", &f);
  EXPECT_EQ(f, (Files{{"d/also", "kept"}, {"d/new", "kept"}, {"d/older", "old"}}));
}

}  // namespace
