#include "thumbs/thumbjpeg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "common/handles.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

TEST(ThumbJpeg, App9SegmentBytes) {
  auto s = app9_segment(0, 3, 2);
  std::vector<uint8_t> want = {0xFF, 0xE9, 0x00, 0x28};
  const char text[] = "TAVU page 0 of 3";
  want.insert(want.end(), text, text + 16);
  want.resize(34, 0);  // NUL and zero padding up to 30 text bytes
  want.insert(want.end(), {3, 0, 0, 0, 2, 0, 0, 0});
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.end()), want);
  auto big = app9_segment(999, 1000, 0x1234);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&big[4])), "TAVU page 999 of 1000");
  EXPECT_EQ(big[34], 0xE8);
  EXPECT_EQ(big[35], 0x03);
  EXPECT_EQ(big[36], 0xE7);
  EXPECT_EQ(big[38], 0x34);
  EXPECT_EQ(big[39], 0x12);
}

TEST(ThumbJpeg, MarkerFollowsTheJfifSegment) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(64, 48);
  std::string path = root.path() + "/t.jpeg";
  std::string err;
  ASSERT_TRUE(write_thumbnail(path, pic.rgb.data(), 64, 48, 1, 4, 7, &err)) << err;
  std::string f = testkit::slurp(path);
  ASSERT_GT(f.size(), 100u);
  EXPECT_EQ(f.substr(0, 4), "\xFF\xD8\xFF\xE0");
  size_t app0_len = (uint8_t(f[4]) << 8) | uint8_t(f[5]);
  EXPECT_EQ(f.substr(6, 5), std::string("JFIF\0", 5));
  auto want = app9_segment(1, 4, 7);
  EXPECT_EQ(f.substr(4 + app0_len, kApp9Size), std::string(want.begin(), want.end()));
  // Baseline, quality 100: the first quantisation table is all ones; the picture reads back.
  EXPECT_NE(f.find("\xFF\xC0"), std::string::npos);
  size_t dqt = f.find("\xFF\xDB");
  ASSERT_NE(dqt, std::string::npos);
  EXPECT_EQ(f.substr(dqt + 5, 64), std::string(64, '\x01'));
  testkit::Picture back;
  ASSERT_TRUE(testkit::load_picture(path, &back, &err)) << err;
  EXPECT_EQ(back.width, 64u);
  EXPECT_EQ(back.height, 48u);
  EXPECT_LE(testkit::compare(pic, 1, back.rgb.data(), 64, 48).mean, 8.0);  // chroma is subsampled
}

TEST(ThumbJpeg, FileThatCannotBeCreated) {
  uint8_t px[3] = {1, 2, 3};
  std::string err;
  EXPECT_FALSE(write_thumbnail("/nonexistent-dir/x.jpeg", px, 1, 1, 0, 1, 1, &err));
  EXPECT_EQ(err, "can't open /nonexistent-dir/x.jpeg");
}

TEST(ThumbJpeg, WriteFailureLeavesNoCutFile) {
  // A file size limit stands in for a full disk; it is set in a child so the test keeps its own.
  testkit::TempRoot root;
  std::string path = root.path() + "/cut.jpeg";
  std::vector<uint8_t> noise(size_t(200) * 200 * 3);
  std::mt19937 gen(7);
  for (auto& b : noise) b = static_cast<uint8_t>(gen());
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::string err;
    bool ok = write_thumbnail(path, noise.data(), 200, 200, 0, 1, 1, &err);
    bool cut_ok = err.rfind("cannot write " + path, 0) == 0;
    ::_exit(ok ? 2 : !cut_ok ? 3 : ::access(path.c_str(), F_OK) == 0 ? 4 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);  // 2: no failure, 3: wrong message, 4: the cut file stayed
}

TEST(ThumbJpeg, IntoAnOpenFile) {
  testkit::TempRoot root;
  std::vector<uint8_t> px(size_t(20) * 10 * 3, 90);
  const ThumbPicture pic{px.data(), 20, 10, 1, 3, 2};
  // What the file held before is cut off, not left behind the picture.
  std::string path = root.path() + "/w.jpeg";
  testkit::spit(path, std::string(100000, 'x'));
  ld::UniqueFd fd(::open(path.c_str(), O_RDWR));
  std::string err;
  ASSERT_TRUE(write_thumbnail_fd(fd.get(), path, pic, &err)) << err;
  testkit::Picture back;
  ASSERT_TRUE(testkit::load_picture(path, &back, &err)) << err;
  EXPECT_EQ(back.width, 20u);
  EXPECT_LT(ld::file_size(path), 10000);
  // A full disk.
  ld::UniqueFd full(::open("/dev/full", O_RDWR));
  ASSERT_TRUE(full.valid());
  EXPECT_FALSE(write_thumbnail_fd(full.get(), path, pic, &err));
  EXPECT_EQ(err.rfind("cannot write " + path + ": ", 0), 0u) << err;
}

TEST(ThumbJpeg, PlaceholderKeepsThePageProportions) {
  struct Case {
    uint32_t pw, ph, w, h;
  };
  const Case cases[] = {{6400, 9600, 133, 200}, {9600, 6400, 200, 133}, {0, 0, 141, 200},
                        {1000000, 1, 200, 1}, {100, 100, 200, 200}};
  for (const auto& c : cases) {
    std::vector<uint8_t> rgb;
    uint32_t w = 0, h = 0;
    placeholder_picture(c.pw, c.ph, &rgb, &w, &h);
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(rgb.size(), size_t(w) * h * 3);
  }
}

}  // namespace
}  // namespace thumbs
