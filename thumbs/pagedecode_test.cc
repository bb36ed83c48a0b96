#include "thumbs/pagedecode.h"

#include <gtest/gtest.h>

#include "testkit/zjsgen.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

using testkit::primaries;

TEST(PageDecode, PlaneNumbersNameInks) {
  EXPECT_EQ(plane_channel(1), 0);
  EXPECT_EQ(plane_channel(2), 1);
  EXPECT_EQ(plane_channel(3), 2);
  EXPECT_EQ(plane_channel(4), 3);
  EXPECT_EQ(plane_channel(0), -1);
  EXPECT_EQ(plane_channel(5), -1);
}

// Real driver jobs: foo2zjs turns a known picture into JBIG planes; the decoded page must be
// that picture again, pixel for pixel (1-bit inks have no shades to lose).
TEST(PageDecode, Foo2zjsColourAndMonoPagesShowTheirPicture) {
  testkit::TempRoot root;
  auto pic = primaries(640, 480);
  struct Case {
    bool colour;
    int model;
  };
  for (const Case c : {Case{true, 0}, Case{false, 0}, Case{false, 1}, Case{true, 1}}) {
    testkit::DriverJobSpec wanted;
    wanted.pages = {pic};
    wanted.colour = c.colour;
    wanted.model = c.model;
    testkit::DriverJob job = testkit::driver_job(wanted);
    if (job.cannot_start()) GTEST_SKIP() << job.error;
    ASSERT_TRUE(job.ok()) << job.error;
    auto d = testkit::decode_bytes(root, job.bytes, 0, true);
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_EQ(d.info.kind, PageKind::kJbig);
    EXPECT_EQ(d.pages, 1);
    ASSERT_GE(d.info.width, 640u);  // some models pad the width
    EXPECT_EQ(d.info.height, 480u);
    testkit::Picture want = c.colour ? pic : primaries(640, 480);
    if (!c.colour)  // a mono page shows its black plane only
      for (size_t i = 0; i < want.rgb.size(); i += 3) {
        uint8_t v = (want.rgb[i] < 128) ? 0 : 255;
        want.rgb[i] = want.rgb[i + 1] = want.rgb[i + 2] = v;
      }
    std::vector<uint8_t> crop;
    for (uint32_t y = 0; y < 480; ++y)
      crop.insert(crop.end(), d.rgb.begin() + size_t(y) * d.info.width * 3,
                  d.rgb.begin() + (size_t(y) * d.info.width + 640) * 3);
    auto diff = testkit::compare(want, 1, crop.data(), 640, 480);
    EXPECT_EQ(diff.max, 0) << (c.colour ? "colour " : "mono ") << "-z" << c.model;
  }
}

TEST(PageDecode, Foo2zjsSampledPageIsTheReductionOfTheWholePage) {
  testkit::TempRoot root;
  auto pic = primaries(2600, 120);
  testkit::DriverJobSpec wanted;
  wanted.pages = {pic};
  wanted.colour = true;
  testkit::DriverJob job = testkit::driver_job(wanted);
  if (job.cannot_start()) GTEST_SKIP() << job.error;
  ASSERT_TRUE(job.ok()) << job.error;
  auto whole = testkit::decode_bytes(root, job.bytes, 0, true);
  auto thumb = testkit::decode_bytes(root, job.bytes, 0, false);
  ASSERT_EQ(whole.rc, 0);
  ASSERT_EQ(thumb.rc, 0);
  EXPECT_EQ(thumb.g.factor, 2u);
  EXPECT_EQ(thumb.rgb, testkit::reduce(whole.rgb, whole.info.width, 2, thumb.g.out_width, thumb.g.out_height));
}

// A job foo2zjs made from primaries(160, 120) (recorded, so that it is read on every
// platform, emulated ones included): the whole page, then every truncation of it.
const std::string kRecordedJob = LABELDOCK_SOURCE_DIR "/thumbs/testdata/colour-160x120.zjs";

TEST(PageDecode, RecordedDriverJobShowsItsPicture) {
  auto d = testkit::decode_file(kRecordedJob, 0, true);
  ASSERT_EQ(d.rc, 0) << d.err;
  ASSERT_EQ(d.info.width, 160u);
  ASSERT_EQ(d.info.height, 120u);
  EXPECT_EQ(testkit::compare(primaries(160, 120), 1, d.rgb.data(), 160, 120).max, 0);
}

TEST(PageDecode, EveryTruncationOfADriverJobDecodesWithoutACrash) {
  testkit::TempRoot root;
  std::string job = testkit::slurp(kRecordedJob);
  ASSERT_GT(job.size(), 100u);
  std::string path = root.path() + "/t.prn";
  testkit::put_file(path, job);
  for (size_t n = job.size() + 1; n-- > 0;) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(n)), 0);
    auto d = testkit::decode_file(path);
    if (n == job.size()) {
      EXPECT_EQ(d.rc, 0);
    }
  }
}

std::string chunk(uint32_t type, const std::vector<zjs::Item>& items, const std::string& payload = "") {
  zjs::ChunkHeader h;
  h.type = type;
  h.items = static_cast<uint32_t>(items.size());
  h.size = static_cast<uint32_t>(16 + 12 * items.size() + payload.size());
  unsigned char b[16];
  zjs::encode_header(h, b);
  std::string s(reinterpret_cast<char*>(b), 16);
  for (const auto& it : items) {
    unsigned char ib[12];
    zjs::encode_item(it, ib);
    s.append(reinterpret_cast<char*>(ib), 12);
  }
  return s + payload;
}

TEST(PageDecode, PagesWithoutADecoder) {
  testkit::TempRoot root;
  const std::vector<zjs::Item> size = {{12, 13, 1, 0, 800}, {12, 14, 1, 0, 600}};
  std::string raw = "JZJZ" + chunk(zjs::START_DOC, {}) + chunk(zjs::START_PAGE, size) +
                    chunk(zjs::RAW_IMAGE, {}, std::string(64, 'x')) + chunk(zjs::END_PAGE, {}) +
                    chunk(zjs::END_DOC, {});
  auto d = testkit::decode_bytes(root, raw);
  EXPECT_FALSE(d.info_ok);
  EXPECT_EQ(d.info.width, 800u);
  EXPECT_EQ(d.info.height, 600u);
  EXPECT_EQ(d.err, "no decoder for RAW_IMAGE pages");
  testkit::JobSpec gen;  // opaque page data only
  d = testkit::decode_bytes(root, testkit::make_job(gen));
  EXPECT_EQ(d.err, "page has no image");
}

}  // namespace
}  // namespace thumbs
