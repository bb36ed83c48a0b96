#include "thumbs/pagecanvas.h"

#include <gtest/gtest.h>

#include <random>

#include "testkit/thumb_fixtures.h"

namespace thumbs {
namespace {

TEST(PageCanvas, Geometry) {
  struct Case {
    uint32_t w, h, min_factor, f, ow, oh;
  };
  const Case cases[] = {
      {6400, 9600, 1, 6, 1066, 1598},  // rows 0..9588 below 9593, less the last
      {1999, 100, 1, 1, 1999, 97},     // narrower than 2000: not reduced
      {2000, 100, 1, 2, 1000, 48},
      {1200, 1600, 1, 1, 1200, 1597},
      {400, 300, 1, 1, 400, 297},
      {400, 300, 4, 4, 100, 73},       // "-q 4"
      {6400, 9600, 2, 6, 1066, 1598},  // the width rule stays a floor
      {500, 3, 1, 1, 500, 0},          // too short for any row
      {500, 2, 1, 1, 500, 0},
      {0, 100, 1, 1, 0, 97},  // no columns: no picture
  };
  for (const auto& c : cases) {
    Geometry g = thumb_geometry(c.w, c.h, c.min_factor);
    EXPECT_EQ(g.factor, c.f) << c.w << "x" << c.h;
    EXPECT_EQ(g.out_width, c.ow) << c.w << "x" << c.h;
    EXPECT_EQ(g.out_height, c.oh) << c.w << "x" << c.h;
  }
  // A page so long that its picture would pass the memory cap keeps its top rows only.
  Geometry tall = thumb_geometry(1500, 9000000);
  EXPECT_EQ(uint64_t(tall.out_width) * tall.out_height * 3 <= kMaxPictureBytes, true);
  EXPECT_GT(tall.out_height, 5000u);
}

TEST(PageCanvas, ColourFormula) {
  struct Case {
    uint32_t format;
    uint8_t px[4];
    uint8_t rgb[3];
  };
  const Case cases[] = {
      {kFormatCmyk, {0, 0, 0, 0}, {255, 255, 255}},
      {kFormatCmyk, {255, 0, 0, 0}, {0, 255, 255}},
      {kFormatCmyk, {0, 0, 0, 255}, {0, 0, 0}},
      {kFormatCmyk, {0, 0, 0, 100}, {155, 155, 155}},       // c, m, y all 0: 255 - k
      {0, {10, 20, 30, 40}, {10, 20, 30}},
      {0x01020304, {10, 20, 30, 40}, {10, 20, 30}},
  };
  for (const auto& c : cases) {
    ColorFormat f;
    f.format = c.format;
    uint8_t rgb[3];
    f.to_rgb(c.px, rgb);
    unsigned k = c.px[3];
    uint8_t want[3] = {c.rgb[0], c.rgb[1], c.rgb[2]};
    if (c.format == kFormatCmyk)
      for (int i = 0; i < 3; ++i) want[i] = static_cast<uint8_t>((255 - k) * (255 - c.px[i]) / 255);
    EXPECT_EQ(rgb[0], want[0]);
    EXPECT_EQ(rgb[1], want[1]);
    EXPECT_EQ(rgb[2], want[2]);
  }
  ColorFormat f;
  f.format = kFormatCmyk;
  uint8_t px[4] = {100, 50, 200, 60}, rgb[3];
  f.to_rgb(px, rgb);
  EXPECT_EQ(rgb[0], 118);  // 195 * 155 / 255, rounded down
  EXPECT_EQ(rgb[1], 156);
  EXPECT_EQ(rgb[2], 42);
  // Channel masks act before the formula.
  f.mask[0] = 0;
  f.mask[3] = 0x0F;
  f.to_rgb(px, rgb);
  EXPECT_EQ(rgb[0], 243);  // c masked out, k = 60 & 15 = 12
  // RGB shown in a CMYK page comes back unchanged.
  uint8_t back[3], in[3] = {12, 200, 99}, p4[4];
  ColorFormat g;
  g.format = kFormatCmyk;
  g.from_rgb(in, p4);
  g.to_rgb(p4, back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 3), std::vector<uint8_t>(in, in + 3));
}

// Random runs and pieces into a sampled canvas give exactly the reduction of a whole canvas.
TEST(PageCanvas, SamplingEqualsReductionOfTheWholePage) {
  std::mt19937 rnd(7);
  for (uint32_t w : {2100u, 3001u, 6400u}) {
    const uint32_t h = 40;
    Geometry sampled = thumb_geometry(w, h), whole = full_geometry(w, h);
    ColorFormat fmt;
    fmt.format = kFormatCmyk;
    PageCanvas a, b;
    ASSERT_TRUE(a.init(sampled, fmt));
    ASSERT_TRUE(b.init(whole, fmt));
    std::vector<uint8_t> px(size_t(w) * 4);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w;) {
        uint32_t n = std::min<uint32_t>(w - x, 1 + rnd() % 700);
        for (auto& v : px) v = static_cast<uint8_t>(rnd());
        if (rnd() % 2) {
          a.run(y, x, x + n - 1, px.data());
          b.run(y, x, x + n - 1, px.data());
        } else {
          a.piece(y, x, n, px.data());
          b.piece(y, x, n, px.data());
        }
        x += n;
      }
    }
    EXPECT_EQ(a.rgb(), testkit::reduce(b.rgb(), w, sampled.factor, sampled.out_width, sampled.out_height)) << w;
  }
}

TEST(PageCanvas, NothingIsWrittenOutsideThePicture) {
  PageCanvas c;
  ColorFormat fmt;
  ASSERT_TRUE(c.init(thumb_geometry(100, 20), fmt));
  const uint8_t px[4] = {1, 2, 3, 0};
  std::vector<uint8_t> many(4 * 500, 7);
  c.run(19, 0, 99, px);        // a row beyond the picture
  c.run(0, 90, 5000, px);      // past the right edge
  c.piece(1, 60, 500, many.data());
  c.set_out(100, 0, px);
  c.set_out(0, 17, px);
  EXPECT_EQ(c.rgb().size(), 100u * 17 * 3);
  EXPECT_EQ(c.rgb()[99 * 3], 1);
  EXPECT_EQ(c.rgb()[(100 + 99) * 3], 7);
}

TEST(PageCanvas, RowsAndColumnsTheSamplingKeeps) {
  PageCanvas c;
  ASSERT_TRUE(c.init(thumb_geometry(3000, 40), ColorFormat()));  // factor 3, rows 0, 3, ... 30
  struct Case {
    uint32_t y;
    uint64_t to_next;
  };
  for (const Case& k : {Case{1, 2}, Case{2, 1}, Case{28, 2}, Case{31, UINT64_MAX}, Case{4000, UINT64_MAX}})
    EXPECT_EQ(c.rows_to_next_kept(k.y), k.to_next) << k.y;
  uint32_t first = 0, last = 0;
  c.sampled_columns(1, 6, &first, &last);  // page columns 3 and 6
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(last, 3u);
  c.sampled_columns(4, 5, &first, &last);  // none
  EXPECT_EQ(first, last);
  c.sampled_columns(2990, 4000000000u, &first, &last);
  EXPECT_EQ(last, 1000u);
  // Tall pages: the rows a band decoder must hold for the picture, in whole bands.
  Geometry g = thumb_geometry(1000, 400000);
  EXPECT_EQ(banded_rows_needed(g, 400000, 128), (g.out_height + 127) / 128 * 128);
  EXPECT_EQ(banded_rows_needed(thumb_geometry(6400, 100), 100, 4096), 100u);
  EXPECT_EQ(banded_rows_needed(thumb_geometry(6400, 100), 100, 0), 85u);  // rows 0, 6, ... 84
}

TEST(PageCanvas, BuffersShareOneBudget) {
  MemoryBudget budget(1000);
  {
    BudgetShare a(&budget, 600);
    EXPECT_TRUE(a.held());
    BudgetShare b(&budget, 500);  // does not fit beside a
    EXPECT_FALSE(b.held());
    EXPECT_TRUE(b.take(&budget, 400));
    EXPECT_EQ(budget.left(), 0u);
    BudgetShare moved = std::move(a);
    EXPECT_EQ(budget.used(), 1000u);
  }
  EXPECT_EQ(budget.used(), 0u);  // given back when the buffers go
  EXPECT_EQ(budget.peak(), 1000u);
  // The picture itself counts: a canvas that does not fit is refused, and gives back on reuse.
  PageCanvas c;
  MemoryBudget small(100 * 50 * 3);
  EXPECT_FALSE(c.init(full_geometry(100, 51), ColorFormat(), &small));
  EXPECT_EQ(small.used(), 0u);
  EXPECT_TRUE(c.init(full_geometry(100, 50), ColorFormat(), &small));
  EXPECT_TRUE(c.init(full_geometry(100, 40), ColorFormat(), &small));
  EXPECT_EQ(small.used(), 100u * 40 * 3);
}

}  // namespace
}  // namespace thumbs
