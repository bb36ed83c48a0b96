// The road of a new job from the network to its thumbnail: a workstation sends real driver jobs
// and generated ZX jobs to the receiver, thumbmaker renders every waiting job, and the pictures
// in the library look like the pages that were sent.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/fsops.h"
#include "testkit/driver_job.h"
#include "testkit/pictures.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "testkit/zxpage.h"

namespace {

using testkit::bin;

using testkit::primaries;

// Mean absolute difference between the picture sampled every f pixels and a thumbnail.
double mean_diff(const testkit::Picture& src, uint32_t f, const testkit::Picture& thumb) {
  return testkit::compare(src, f, thumb.rgb.data(), thumb.width, thumb.height).mean;
}

std::string app9_text(const std::string& jpeg_path) {
  std::string f = testkit::slurp(jpeg_path);
  if (f.size() < 6) return "";
  size_t at = 4 + ((uint8_t(f[4]) << 8) | uint8_t(f[5]));
  if (f.size() < at + 42 || uint8_t(f[at]) != 0xFF || uint8_t(f[at + 1]) != 0xE9) return "";
  return std::string(f.c_str() + at + 4);
}

TEST(ThumbsRoad, ReceivedJobsGetThumbnailsThatLookLikeTheirPages) {
  testkit::TempRoot root;
  const int port = testkit::free_port();
  std::map<std::string, std::string> env = {{"LABELDOCK_RECEIVER_PORT", std::to_string(port)}};
  testkit::Process catcher({bin("jobcatcher")}, env);
  ASSERT_TRUE(testkit::wait_for_port(port));

  // A colour page through the real driver.
  auto pic = primaries(800, 600);
  testkit::DriverJobSpec wanted;
  wanted.pages = {pic};
  wanted.colour = true;
  testkit::DriverJob driver_job = testkit::driver_job(wanted);
  ASSERT_TRUE(driver_job.ok()) << driver_job.error;
  ASSERT_GT(driver_job.bytes.size(), 200u);
  testkit::spit(root.path() + "/driver.cap", testkit::wrap_capture(driver_job.bytes, "Colour bars"));
  // A two-page ZX job drawn from the same picture in JPEG stripes, 2400 pixels wide (reduced by 2).
  testkit::Picture wide = primaries(2400, 300);
  testkit::spit(root.path() + "/wide.ppm", testkit::to_ppm(wide));
  ASSERT_EQ(testkit::run({bin("zjsgen"), "--zx-picture", root.path() + "/wide.ppm", "--zx-mode", "stripes",
                          "--zx-stripe-rows", "64", "--pages", "2", "--capture", "Wide labels", "-o",
                          root.path() + "/wide.cap"}),
            0);
  for (const char* cap : {"/driver.cap", "/wide.cap"})
    ASSERT_EQ(testkit::run({bin("jobsend"), "127.0.0.1:" + std::to_string(port), root.path() + cap}), 0);
  ASSERT_TRUE(testkit::wait_until([&] {
    return ld::file_exists(root("/print/prns/tmp/Colour bars.prn")) &&
           ld::file_exists(root("/print/prns/tmp/Wide labels.prn"));
  }));

  std::string out, err;
  ASSERT_EQ(testkit::run({bin("thumbmaker")}, &out, &err, {}, ""), 0) << out << err;
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")),
            (std::vector<std::string>{"Colour bars.jpeg", "Wide labels.jpeg"}));
  EXPECT_TRUE(ld::file_exists(root("/print/prns/Colour bars.prn")));
  EXPECT_TRUE(ld::file_exists(root("/print/prns/Wide labels.prn")));
  EXPECT_EQ(testkit::list_dir(root("/print/prns/tmp")), std::vector<std::string>{"thumbs"});

  EXPECT_EQ(app9_text(root("/print/prns/thumbs/Colour bars.jpeg")), "TAVU page 0 of 1");
  EXPECT_EQ(app9_text(root("/print/prns/thumbs/Wide labels.jpeg")), "TAVU page 0 of 2");
  testkit::Picture t1, t2;
  std::string why;
  ASSERT_TRUE(testkit::load_picture(root("/print/prns/thumbs/Colour bars.jpeg"), &t1, &why)) << why;
  ASSERT_TRUE(testkit::load_picture(root("/print/prns/thumbs/Wide labels.jpeg"), &t2, &why)) << why;
  EXPECT_EQ(t1.width, 800u);
  EXPECT_EQ(t2.width, 1200u);
  EXPECT_LT(mean_diff(pic, 1, t1), 6.0);   // JPEG at quality 100 with subsampled colour
  EXPECT_LT(mean_diff(wide, 2, t2), 8.0);  // and the stripes' own JPEG coding
}

TEST(ThumbsRoad, OnePageAndAllPagesOfAJobPath) {
  testkit::TempRoot root;
  const std::string dir = root.path() + "/jobs";
  ld::make_dirs(dir);
  testkit::spit(dir + "/p.ppm", testkit::to_ppm(primaries(300, 200)));
  std::string job = dir + "/three.prn";
  ASSERT_EQ(testkit::run({bin("zjsgen"), "--zx-picture", dir + "/p.ppm", "--zx-gradient", "20",
                          "--zx-unknown-escape", "--pages", "3", "-o", job}),
            0);
  std::string out;
  // The driver package's own dump tool reads the generated job through to its end.
  ASSERT_EQ(testkit::run({"/bin/sh", "-c", "exec zjsdecode < \"$0\"", job}, &out), 0);
  EXPECT_NE(out.find("[Page 3]"), std::string::npos) << out;
  EXPECT_NE(out.find("ZJT_END_DOC"), std::string::npos) << out;
  EXPECT_EQ(testkit::run({bin("thumbmaker"), "-a", "-p", "1", job}, &out), 0);
  EXPECT_EQ(out,
            "*** Unknown Escape 229 e5 ***\n*** Unknown Escape 3 3 ***\nESC CREATE_GRADIENT (baseX=37, span=225)\n"
            "*** Unknown Escape 229 e5 ***\n*** Unknown Escape 3 3 ***\nESC CREATE_GRADIENT (baseX=37, span=225)\n");
  EXPECT_EQ(testkit::list_dir(dir),
            (std::vector<std::string>{"p.ppm", "three.prn", "three_001_small.jpeg", "three_002_small.jpeg"}));
  EXPECT_EQ(app9_text(dir + "/three_002_small.jpeg"), "TAVU page 2 of 3");
  EXPECT_EQ(testkit::run({bin("thumbmaker"), "-q", "300", job}, &out), 0);
  EXPECT_EQ(out, "invalid scale factor\n");
  EXPECT_EQ(testkit::run({bin("thumbmaker"), dir}, &out), 0);
  EXPECT_EQ(out, "invalid prn!\n");
}

TEST(ThumbsRoad, AJobWhoseRunWasKilledIsTakenUpByTheNextRun) {
  testkit::TempRoot root;
  testkit::spit(root.path() + "/p.ppm", testkit::to_ppm(primaries(300, 200)));
  ASSERT_EQ(testkit::run({bin("zjsgen"), "--zx-picture", root.path() + "/p.ppm", "-o",
                          root("/print/prns/tmp/label.prn")}),
            0);
  const std::string work = root("/print/prns/tmp/thumbs/label.jpeg");
  {
    // Killed while its picture waits the one second before being moved into place.
    testkit::Process run({bin("thumbmaker")});
    ASSERT_TRUE(testkit::wait_until([&] { return ld::file_size(work) > 0; }));
    run.kill(9);
    EXPECT_EQ(run.wait(), 128 + 9);
  }
  ASSERT_TRUE(ld::file_exists(work));
  ASSERT_TRUE(ld::file_exists(root("/print/prns/tmp/label.prn")));

  std::string out;
  EXPECT_EQ(testkit::run({bin("thumbmaker")}, &out), 0);
  EXPECT_NE(out.find("taking up " + root("/print/prns/tmp/label.prn") + " again"), std::string::npos) << out;
  EXPECT_EQ(testkit::list_dir(root("/print/prns/thumbs")), std::vector<std::string>{"label.jpeg"});
  EXPECT_EQ(app9_text(root("/print/prns/thumbs/label.jpeg")), "TAVU page 0 of 1");
  EXPECT_TRUE(ld::file_exists(root("/print/prns/label.prn")));
  EXPECT_EQ(testkit::list_dir(root("/print/prns/tmp/thumbs")), std::vector<std::string>{});
}

TEST(ThumbsRoad, AnOptionWithoutItsValueTouchesNoWaitingJob) {
  testkit::TempRoot root;
  testkit::JobSpec gen;
  testkit::spit(root("/print/prns/tmp/waiting.prn"), testkit::make_job(gen));
  for (const char* opt : {"-p", "-q"}) {
    std::string out, err;
    EXPECT_EQ(testkit::run({bin("thumbmaker"), opt}, &out, &err), 1) << opt;
    EXPECT_NE(err.find("usage: thumbmaker"), std::string::npos) << err;
    EXPECT_EQ(testkit::list_dir(root("/print/prns/tmp")), std::vector<std::string>{"waiting.prn"});
  }
}

}  // namespace
