#include "thumbs/pagecanvas.h"

#include <algorithm>
#include <new>

namespace thumbs {

Geometry thumb_geometry(uint32_t width, uint32_t height, uint32_t min_factor) {
  Geometry g;
  g.width = width;
  g.height = height;
  g.factor = std::max<uint32_t>({1, width / 1000, min_factor});
  uint32_t f = g.factor;
  g.out_width = width / f;
  // Sampled rows: 0, f, 2f, ... below H - f - 1, and the last of them is left out.
  uint64_t limit = height > f + 1 ? uint64_t(height) - f - 1 : 0;
  uint64_t rows = limit > 0 ? (limit - 1) / f + 1 : 0;
  rows = rows > 0 ? rows - 1 : 0;
  uint64_t row_bytes = uint64_t(g.out_width) * 3;
  if (row_bytes > 0) rows = std::min<uint64_t>(rows, kMaxPictureBytes / row_bytes);
  g.out_height = static_cast<uint32_t>(std::min<uint64_t>(rows, 65500));
  if (g.out_width > 65500) g.out_width = 0;
  return g;
}

Geometry full_geometry(uint32_t width, uint32_t height) {
  Geometry g;
  g.width = g.out_width = width;
  g.height = g.out_height = height;
  g.factor = 1;
  return g;
}

uint32_t banded_rows_needed(const Geometry& g, uint32_t height, uint32_t band) {
  if (g.out_height == 0) return 0;
  uint64_t rows = uint64_t(g.out_height - 1) * g.factor + 1;
  uint64_t b = band == 0 ? 1 : band;
  rows = (rows + b - 1) / b * b;
  return static_cast<uint32_t>(std::min<uint64_t>(rows, height));
}

void ColorFormat::to_rgb(const uint8_t px[4], uint8_t rgb[3]) const {
  if (format != kFormatCmyk) {
    rgb[0] = px[0];
    rgb[1] = px[1];
    rgb[2] = px[2];
    return;
  }
  unsigned c = px[0] & mask[0], m = px[1] & mask[1], y = px[2] & mask[2], k = px[3] & mask[3];
  unsigned w = 255 - k;
  rgb[0] = static_cast<uint8_t>(w * (255 - c) / 255);
  rgb[1] = static_cast<uint8_t>(w * (255 - m) / 255);
  rgb[2] = static_cast<uint8_t>(w * (255 - y) / 255);
}

void ColorFormat::from_rgb(const uint8_t rgb[3], uint8_t px[4]) const {
  if (format != kFormatCmyk) {
    px[0] = rgb[0];
    px[1] = rgb[1];
    px[2] = rgb[2];
    px[3] = 0;
    return;
  }
  px[0] = static_cast<uint8_t>(255 - rgb[0]);
  px[1] = static_cast<uint8_t>(255 - rgb[1]);
  px[2] = static_cast<uint8_t>(255 - rgb[2]);
  px[3] = 0;
}

bool MemoryBudget::take(uint64_t n) {
  if (n > left()) return false;
  used_ += n;
  if (used_ > peak_) peak_ = used_;
  return true;
}

BudgetShare& BudgetShare::operator=(BudgetShare&& o) noexcept {
  if (this != &o) {
    release();
    b_ = o.b_;
    n_ = o.n_;
    o.b_ = nullptr;
    o.n_ = 0;
  }
  return *this;
}

bool BudgetShare::take(MemoryBudget* b, uint64_t n) {
  release();
  if (b == nullptr || !b->take(n)) return false;
  b_ = b;
  n_ = n;
  return true;
}

void BudgetShare::release() {
  if (b_ != nullptr) b_->give(n_);
  b_ = nullptr;
  n_ = 0;
}

uint64_t PageCanvas::rows_to_next_kept(uint32_t y) const {
  uint64_t next = (uint64_t(y) / g_.factor + 1) * g_.factor;
  if (next / g_.factor >= g_.out_height) return UINT64_MAX;
  return next - y;
}

void PageCanvas::sampled_columns(uint32_t x0, uint32_t x1, uint32_t* first, uint32_t* last) const {
  uint32_t f = g_.factor;
  *first = static_cast<uint32_t>((uint64_t(x0) + f - 1) / f);
  *last = std::min<uint32_t>(x1 / f + 1, g_.out_width);
  if (*first > *last) *first = *last;
}

bool PageCanvas::init(const Geometry& g, const ColorFormat& fmt, MemoryBudget* budget) {
  g_ = g;
  fmt_ = fmt;
  budget_ = budget;
  size_t n = static_cast<size_t>(g.out_width) * g.out_height * 3;
  rgb_.clear();
  rgb_.shrink_to_fit();
  share_.release();
  if (!share_.take(this->budget(), n)) return false;
  try {
    rgb_.assign(n, 255);  // paper white where nothing is drawn
  } catch (const std::bad_alloc&) {
    share_.release();
    return false;
  }
  return true;
}

void PageCanvas::run(uint32_t y, uint32_t x0, uint32_t x1, const uint8_t px[4]) {
  if (!row_kept(y) || x0 > x1) return;
  uint32_t first = 0, last = 0;
  sampled_columns(x0, x1, &first, &last);
  if (first >= last) return;
  uint8_t rgb[3];
  fmt_.to_rgb(px, rgb);
  uint8_t* p = out_row(y) + size_t(first) * 3;
  for (uint32_t i = first; i < last; ++i, p += 3) {
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
  }
}

void PageCanvas::piece(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* px) {
  if (!row_kept(y) || n == 0) return;
  uint32_t f = g_.factor;
  uint64_t end = uint64_t(x0) + n;
  uint8_t* row = out_row(y);
  for (uint64_t ox = (x0 + f - 1) / f; ox < g_.out_width && ox * f < end; ++ox)
    fmt_.to_rgb(px + (ox * f - x0) * 4, row + ox * 3);
}

void PageCanvas::piece_rgb(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* rgb) {
  if (!row_kept(y) || n == 0) return;
  uint32_t f = g_.factor;
  uint64_t end = uint64_t(x0) + n;
  uint8_t* row = out_row(y);
  uint8_t px[4];
  for (uint64_t ox = (x0 + f - 1) / f; ox < g_.out_width && ox * f < end; ++ox) {
    fmt_.from_rgb(rgb + (ox * f - x0) * 3, px);
    fmt_.to_rgb(px, row + ox * 3);
  }
}

void PageCanvas::put_out_rgb(uint32_t y, uint32_t ox0, uint32_t n, const uint8_t* rgb) {
  if (!row_kept(y) || ox0 >= g_.out_width) return;
  n = std::min(n, g_.out_width - ox0);
  std::copy(rgb, rgb + size_t(n) * 3, out_row(y) + size_t(ox0) * 3);
}

void PageCanvas::set_out(uint32_t ox, uint32_t oy, const uint8_t px[4]) {
  if (ox >= g_.out_width || oy >= g_.out_height) return;
  fmt_.to_rgb(px, rgb_.data() + (size_t(oy) * g_.out_width + ox) * 3);
}

}  // namespace thumbs

