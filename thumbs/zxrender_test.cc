#include "thumbs/zxrender.h"

#include <gtest/gtest.h>

#include "common/bytes.h"
#include "testkit/capture.h"
#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

using testkit::CapturedFile;
using testkit::decode_bytes;

TEST(ZxRender, EscapeLengths) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t len;
  };
  const Case cases[] = {
      {{0}, 1},           {{127}, 1},          {{128}, 2},           {{191, 9}, 2},
      {{192, 4}, 6},      {{223, 0}, 2},       {{215}, 0},           {{224, 0x01, 0x02}, 3 + 258},
      {{255, 0, 0}, 3},   {{225, 0}, 0},       {{}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(escape_length(c.bytes.data(), c.bytes.size()), c.len);
}

// A renderer over in-memory page data, fed in the given pieces.
struct Rig {
  std::string data;
  MemSource src{""};
  PageCanvas canvas;
  CapturedFile msg;
  std::unique_ptr<ZxRenderer> zx;
  Rig(const std::string& d, uint32_t w, uint32_t h, uint32_t format = 0) : data(d), src(d) {
    ColorFormat fmt;
    fmt.format = format;
    canvas.init(full_geometry(w, h), fmt);
    ZxParams p;
    p.width = w;
    p.height = h;
    p.format = format;
    zx = std::make_unique<ZxRenderer>(&src, p, &canvas, msg.get());
  }
  const uint8_t* at(uint32_t x, uint32_t y) { return canvas.rgb().data() + (size_t(y) * canvas.geometry().width + x) * 3; }
};

std::string esc(std::initializer_list<int> bytes) {
  std::string s = "\x1b";
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

TEST(ZxRender, FramingUnknownAndIncompleteCommands) {
  std::string cmds = esc({3}) + esc({0xE9, 0, 2, 'h', 'i'}) + esc({0x90, 0x55}) +  // 3, 233: unknown; 144: in range, not ours
                     esc({192, 4, 255, 0, 0, 0}) + esc({193, 4, 0, 0, 0, 5}) + esc({8}) +
                     esc({215, 12, 0xFF, 0xFE, 0, 10, 0, 0, 0, 0, 255, 255, 255, 0}) + esc({9});
  // Feed the stream in pieces of 3 bytes: every piece boundary that cuts a command asks for more.
  Rig rig(cmds, 8, 3, kFormatCmyk);
  int need = 0;
  size_t fed = 0;
  int rc = rig.zx->render_row(2);
  while (rc == kZxNeedData && fed < cmds.size()) {
    size_t n = std::min<size_t>(3, cmds.size() - fed);
    rig.zx->add_data(fed, n);
    fed += n;
    ++need;
    rc = rig.zx->render_row(2);
  }
  EXPECT_EQ(rc, kZxRowDone);
  EXPECT_GT(need, 5);
  EXPECT_EQ(rig.msg.text(),
            "*** Unknown Escape 3 3 ***\n*** Unknown Escape 233 e9 ***\n*** Unknown Escape 144 90 ***\n"
            "ESC CREATE_GRADIENT (baseX=-2, span=10)\n");
  // Five cyan pixels, then white to the end of the row and below.
  EXPECT_EQ(rig.at(4, 0)[0], 0);
  EXPECT_EQ(rig.at(4, 0)[1], 255);
  EXPECT_EQ(rig.at(5, 0)[0], 255);
  EXPECT_EQ(rig.at(0, 1)[0], 255);
}

TEST(ZxRender, BytesOutsideCommandsAndBrokenImagesAreErrors) {
  {
    Rig rig(esc({8}) + "x", 4, 4);
    rig.zx->add_data(0, rig.data.size());
    EXPECT_EQ(rig.zx->render_row(3), kZxBadData);
    EXPECT_NE(rig.zx->error().find("not an escape"), std::string::npos);
  }
  {
    Rig rig(esc({225, 0, 4, 0, 0, 0, 4}) + "GIF8", 4, 4);
    rig.zx->add_data(0, rig.data.size());
    EXPECT_EQ(rig.zx->render_row(0), kZxBadImage);
    EXPECT_NE(rig.zx->error().find("unknown image codec"), std::string::npos);
  }
  {
    Rig rig(esc({224, 0, 3, 1, 2, 3}), 4, 4);  // pixel bytes not a multiple of 4
    rig.zx->add_data(0, rig.data.size());
    EXPECT_EQ(rig.zx->render_row(0), kZxBadData);
  }
}

TEST(ZxRender, RunsAndPiecesWrapRowsAndStopAtThePageEnd) {
  std::string px;
  for (int i = 0; i < 7; ++i) px += std::string{char(i), char(i), char(i), 0};
  Rig rig(esc({192, 4, 9, 9, 9, 0}) + esc({193, 4, 0, 0, 0, 3}) + esc({224, 0, 28}) + px +
              esc({193, 4, 0, 0, 1, 0}),
          4, 3);
  rig.zx->add_data(0, rig.data.size());
  EXPECT_EQ(rig.zx->render_row(2), kZxRowDone);  // the long run reached the page end
  EXPECT_EQ(rig.at(2, 0)[0], 9);
  EXPECT_EQ(rig.at(3, 0)[0], 0);   // first pixel of the piece ends row 0
  EXPECT_EQ(rig.at(3, 1)[0], 4);
  EXPECT_EQ(rig.at(1, 2)[0], 6);
  EXPECT_EQ(rig.at(2, 2)[0], 9);   // the long run fills up to the page end, no further
}

TEST(ZxRender, CodecNames) {
  EXPECT_STREQ(codec_name(83), "zcif_Striped");
  EXPECT_STREQ(codec_name(74), "jpeg");
  EXPECT_STREQ(codec_name(88), "unknown");
}

TEST(ZxRender, GradientColours) {
  Gradient g;
  g.base_x = 10;
  g.span = 100;
  const uint8_t a[4] = {0, 200, 50, 0}, b[4] = {255, 0, 50, 10};
  std::copy(a, a + 4, g.from);
  std::copy(b, b + 4, g.to);
  uint8_t px[4];
  g.at(5, px);
  EXPECT_EQ(px[1], 200);
  g.at(60, px);
  EXPECT_EQ(px[0], 127);  // 255 * 50 / 100
  EXPECT_EQ(px[1], 100);
  EXPECT_EQ(px[3], 5);
  g.at(500, px);
  EXPECT_EQ(px[0], 255);
}

// The striped image of a picture, as zjsgen writes it, opened from the page data.
struct Striped {
  std::unique_ptr<MemSource> src;
  std::unique_ptr<DataStream> ds;
  std::unique_ptr<Image> img;
};
Striped striped_of(const testkit::Picture& pic, testkit::ZxMode mode, uint32_t stripe_rows, std::string* err) {
  testkit::ZxPageSpec gen;
  gen.mode = mode;
  gen.stripe_rows = stripe_rows;
  std::string data = testkit::zx_page_data(pic, gen);
  // ESC 225, 16-bit length 4, 32-bit byte count, then the image.
  uint32_t n = val32(reinterpret_cast<const unsigned char*>(data.data()) + 4);
  Striped s;
  s.src = std::make_unique<MemSource>(data);
  s.ds = std::make_unique<DataStream>(s.src.get());
  s.ds->append(0, data.size());
  s.img = open_image(s.ds.get(), 8, n, err);
  return s;
}

TEST(ZxRender, StripeWalkStartsOverForAnEarlierRow) {
  auto pic = testkit::test_picture(64, 100);
  std::string err;
  Striped s = striped_of(pic, testkit::ZxMode::kStripes, 16, &err);
  Image* img = s.img.get();
  ASSERT_TRUE(img) << err;
  StripeStats* st = stripe_stats_of(img);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(img->height(), 100u);
  const uint8_t* row = nullptr;
  for (uint32_t r = 0; r < 100; ++r) ASSERT_TRUE(img->row(r, &row, &err)) << r << err;
  EXPECT_EQ(st->restarts, 0);
  EXPECT_EQ(st->stripes_opened, 7);
  ASSERT_TRUE(img->row(70, &row, &err));  // the stripe of rows 64-79 lies before the last one
  EXPECT_EQ(st->restarts, 1);
  ASSERT_TRUE(img->row(75, &row, &err));  // forward inside the stripe
  ASSERT_TRUE(img->row(10, &row, &err));
  EXPECT_EQ(st->restarts, 2);
  // Row 10 shows the picture's row 10 (colour bars; JPEG keeps them close).
  EXPECT_NEAR(row[3 * 20 + 0], pic.rgb[(10 * 64 + 20) * 3 + 0], 40);
  EXPECT_FALSE(img->row(100, &row, &err));

  Striped nested = striped_of(pic, testkit::ZxMode::kNestedStripes, 32, &err);
  ASSERT_TRUE(nested.img) << err;
  ASSERT_TRUE(nested.img->row(99, &row, &err)) << err;
  ASSERT_TRUE(nested.img->row(0, &row, &err)) << err;
  EXPECT_EQ(stripe_stats_of(nested.img.get())->restarts, 1);
}

TEST(ZxRender, StripeHeadersAreReadOncePerImage) {
  // Rows 0-198 lie in a gap before the one stripe that holds row 199: a walk that started over
  // for each of them would read every empty stripe's header again.
  const std::string data = testkit::zx_gapped_stripes(64, 200, 3000);
  MemSource src(data);
  DataStream ds(&src);
  ds.append(0, data.size());
  std::string err;
  auto img = open_image(&ds, 8, val32(reinterpret_cast<const unsigned char*>(data.data()) + 4), &err);
  ASSERT_TRUE(img) << err;
  const uint8_t* row = nullptr;
  for (uint32_t r = 0; r < 200; ++r) {
    ASSERT_TRUE(img->row(r, &row, &err)) << r << err;
    if (r == 0) {
      EXPECT_EQ(row[30 * 3 + 1], 255);  // white: no stripe holds it
    }
  }
  EXPECT_GT(row[30 * 3], 200);  // the last row is red
  EXPECT_LT(row[30 * 3 + 1], 60);
  EXPECT_EQ(stripe_stats_of(img.get())->headers_read, 3001);
  EXPECT_EQ(stripe_stats_of(img.get())->restarts, 0);
}

TEST(ZxRender, BrokenStripedImages) {
  auto pic = testkit::test_picture(32, 32);
  testkit::ZxPageSpec gen;
  gen.mode = testkit::ZxMode::kStripes;
  gen.stripe_rows = 8;
  const std::string good = testkit::zx_page_data(pic, gen);
  const size_t img = 8, first_stripe = img + 48;
  struct Case {
    size_t offset;
    std::string bytes;
    const char* why;
  };
  const Case cases[] = {
      {first_stripe, std::string("\0\0\0\x0f", 4), "stripe header length below 16"},
      {first_stripe + 4, std::string("\x7f\0\0\0", 4), "stripe data beyond the image"},
      {img + 8, "X", "unknown stripe codec 88"},
      {img + 8, "S", "stripe data do not match"},
      {img + 4, std::string("\0\0\0\x08", 4), "bad header"},
  };
  for (const auto& c : cases) {
    std::string data = good;
    data.replace(c.offset, c.bytes.size(), c.bytes);
    MemSource src(data);
    DataStream ds(&src);
    ds.append(0, data.size());
    std::string err;
    auto image = open_image(&ds, img, data.size() - img - 2, &err);
    const uint8_t* row = nullptr;
    if (image) image->row(0, &row, &err);
    EXPECT_NE(err.find(c.why), std::string::npos) << err;
  }
}

struct ModeCase {
  testkit::ZxMode mode;
  bool cmyk;
  int max_mean;  // mean difference allowed (0: exact)
};

TEST(ZxRender, GeneratedPagesLookLikeTheirPicture) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(320, 200);
  const ModeCase cases[] = {
      {testkit::ZxMode::kRuns, true, 0},     {testkit::ZxMode::kRuns, false, 0},
      {testkit::ZxMode::kPixels, true, 0},   {testkit::ZxMode::kJpeg, true, 3},
      {testkit::ZxMode::kStripes, false, 3}, {testkit::ZxMode::kNestedStripes, true, 3},
  };
  for (const auto& c : cases) {
    testkit::ZxPageSpec gen;
    gen.mode = c.mode;
    gen.cmyk = c.cmyk;
    gen.stripe_rows = 48;
    gen.gradient_rows = 20;
    gen.unknown_escape = true;
    gen.data_chunk = 999;
    auto d = decode_bytes(root, testkit::make_zx_job(pic, gen), 0, true);
    ASSERT_EQ(d.rc, 0) << d.err;
    EXPECT_EQ(d.info.height, 220u);
    auto diff = testkit::compare(pic, 1, d.rgb.data(), 320, 200);
    if (c.max_mean == 0) {
      EXPECT_EQ(diff.max, 0) << int(c.mode);
    } else {
      EXPECT_LE(diff.mean, c.max_mean) << int(c.mode);
    }
    EXPECT_NE(d.msgs.find("*** Unknown Escape 229 e5 ***"), std::string::npos);
    EXPECT_NE(d.msgs.find("ESC CREATE_GRADIENT (baseX=40, span=240)"), std::string::npos);
    for (uint32_t x = 0; x < 320; x += 13) {
      uint8_t want[3];
      testkit::zx_gradient_rgb(320, x, want);
      const uint8_t* got = d.rgb.data() + (size_t(210) * 320 + x) * 3;
      EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(want, want + 3)) << x;
    }
  }
}

TEST(ZxRender, SampledPageIsTheReductionOfTheWholePage) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(2500, 90);
  for (auto mode : {testkit::ZxMode::kRuns, testkit::ZxMode::kPixels, testkit::ZxMode::kStripes}) {
    testkit::ZxPageSpec gen;
    gen.mode = mode;
    gen.stripe_rows = 16;
    gen.gradient_rows = 11;
    std::string job = testkit::make_zx_job(pic, gen);
    auto whole = decode_bytes(root, job, 0, true);
    auto thumb = decode_bytes(root, job, 0, false);
    ASSERT_EQ(whole.rc, 0);
    ASSERT_EQ(thumb.rc, 0);
    EXPECT_EQ(thumb.g.factor, 2u);
    EXPECT_EQ(thumb.rgb, testkit::reduce(whole.rgb, 2500, 2, thumb.g.out_width, thumb.g.out_height)) << int(mode);
  }
}

TEST(ZxRender, EveryTruncationDecodesWithoutACrash) {
  testkit::TempRoot root;
  auto pic = testkit::test_picture(24, 16);
  testkit::ZxPageSpec gen;
  gen.mode = testkit::ZxMode::kNestedStripes;
  gen.stripe_rows = 8;
  gen.gradient_rows = 4;
  gen.unknown_escape = true;
  gen.data_chunk = 300;
  gen.quality = 20;
  std::string job = testkit::make_zx_job(pic, gen, 1);
  std::string path = root.path() + "/t.prn";
  int decoded = 0;
  testkit::put_file(path, job);
  for (size_t n = job.size() + 1; n-- > 0;) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(n)), 0);
    auto d = testkit::decode_file(path);
    if (d.rc == 0) ++decoded;
  }
  EXPECT_GT(decoded, 0);
}

TEST(ZxRender, UnknownVersionIsNotDecoded) {
  testkit::TempRoot root;
  testkit::ZxPageSpec gen;
  gen.version = 2;
  auto d = decode_bytes(root, testkit::make_zx_job(testkit::test_picture(30, 20), gen));
  EXPECT_FALSE(d.info_ok);
  EXPECT_NE(d.err.find("version 2"), std::string::npos);
}

}  // namespace
}  // namespace thumbs
