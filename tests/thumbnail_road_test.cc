// The road of a new job from the network to its thumbnail: a workstation sends real driver jobs
// and generated ZX jobs to the receiver, thumbmaker renders every waiting job, and the pictures
// in the library look like the pages that were sent.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/fsops.h"
#include "testkit/scenario.h"
#include "testkit/zjsgen.h"
#include "testkit/zxpage.h"

namespace {

using testkit::bin;

// Colour bars (the eight primaries and white) over black-and-white stripes.
testkit::Picture page_picture(uint32_t w, uint32_t h) {
  testkit::Picture p;
  p.width = w;
  p.height = h;
  p.rgb.resize(size_t(w) * h * 3);
  static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                     {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* o = p.rgb.data() + (size_t(y) * w + x) * 3;
      const uint8_t* b = y < h * 2 / 3 ? bars[x * 8 / w] : bars[(x / 40) % 2 ? 0 : 7];
      o[0] = b[0], o[1] = b[1], o[2] = b[2];
    }
  return p;
}

// Ghostscript's bitcmyk raster of a primaries-only picture, for foo2zjs -c.
std::string bitcmyk(const testkit::Picture& p) {
  std::string out;
  for (uint32_t y = 0; y < p.height; ++y)
    for (uint32_t x = 0; x < p.width; x += 2) {
      unsigned v[2];
      for (int i = 0; i < 2; ++i) {
        const uint8_t* c = p.rgb.data() + (size_t(y) * p.width + x + i) * 3;
        v[i] = (c[0] | c[1] | c[2]) == 0 ? 1 : ((c[0] < 128) << 3 | (c[1] < 128) << 2 | (c[2] < 128) << 1);
      }
      out.push_back(static_cast<char>(v[0] << 4 | v[1]));
    }
  return out;
}

// Mean absolute difference between the picture sampled every f pixels and a thumbnail.
double mean_diff(const testkit::Picture& src, uint32_t f, const testkit::Picture& thumb) {
  uint64_t sum = 0, n = 0;
  for (uint32_t y = 0; y < thumb.height && y * f < src.height; ++y)
    for (uint32_t x = 0; x < thumb.width && x * f < src.width; ++x)
      for (int c = 0; c < 3; ++c) {
        sum += static_cast<uint64_t>(std::abs(src.rgb[(size_t(y) * f * src.width + size_t(x) * f) * 3 + c] -
                                              thumb.rgb[(size_t(y) * thumb.width + x) * 3 + c]));
        ++n;
      }
  return n ? double(sum) / double(n) : 255;
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
  auto pic = page_picture(800, 600);
  testkit::spit(root.path() + "/page.cmyk", bitcmyk(pic));
  std::string driver_job;
  ASSERT_EQ(testkit::run({"/bin/sh", "-c", "exec foo2zjs -r600x600 -g800x600 -p1 -c < \"$0\" 2>/dev/null",
                          root.path() + "/page.cmyk"},
                         &driver_job),
            0);
  ASSERT_GT(driver_job.size(), 200u);
  testkit::spit(root.path() + "/driver.cap", testkit::wrap_capture(driver_job, "Colour bars"));
  // A two-page ZX job drawn from the same picture in JPEG stripes, 2400 pixels wide (reduced by 2).
  testkit::Picture wide = page_picture(2400, 300);
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
  testkit::spit(dir + "/p.ppm", testkit::to_ppm(page_picture(300, 200)));
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

}  // namespace
