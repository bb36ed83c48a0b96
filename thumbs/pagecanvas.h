// The thumbnail picture a page is decoded into. The page is never held whole: the canvas knows
// which page rows and columns the picture samples (every f-th of each) and keeps only those
// pixels, converted to RGB as they arrive. A canvas with factor 1 holds the whole page.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace thumbs {

constexpr uint32_t kFormatCmyk = 0x04030201;

// Geometry of the picture made from a W x H page: f = W div 1000 (at least 1, or the larger
// `min_factor`); W div f columns (page columns 0, f, 2f, ...); rows are the page rows 0, f, 2f,
// ... below H - f - 1, less the last one. Pictures are capped at kMaxPictureBytes (the rows below
// are dropped) so that no page can make the board run out of memory.
struct Geometry {
  uint32_t width = 0, height = 0;  // page
  uint32_t factor = 1;
  uint32_t out_width = 0, out_height = 0;
};
constexpr uint64_t kMaxPictureBytes = 24u << 20;
Geometry thumb_geometry(uint32_t width, uint32_t height, uint32_t min_factor = 1);
// The whole page, unreduced (used to check the sampling, and by tests).
Geometry full_geometry(uint32_t width, uint32_t height);
// The page rows from the top that hold every row the picture samples, rounded up to whole
// bands of `band` rows (a decoder that works band by band), at most `height`.
uint32_t banded_rows_needed(const Geometry& g, uint32_t height, uint32_t band);

// How the renderer's 4-byte pixels become RGB: with the format word 0x04030201 they are cyan,
// magenta, yellow and black, each ANDed with its channel mask first; otherwise red, green, blue.
struct ColorFormat {
  uint32_t format = 0;
  uint8_t mask[4] = {255, 255, 255, 255};
  void to_rgb(const uint8_t px[4], uint8_t rgb[3]) const;
  // The 4-byte pixel that shows as this RGB colour (k = 0 for CMYK).
  void from_rgb(const uint8_t rgb[3], uint8_t px[4]) const;
};

// One allowance of bytes for all the large buffers that a page decode holds at once (the
// picture, a JBIG plane and its ink map, image row buffers and libjpeg's working memory). Each
// buffer is bounded by what the others left, so the sum stays within the program's goal
// whatever the page announces, not only each buffer on its own.
class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t limit) : limit_(limit) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;
  // False (and nothing taken) when n bytes do not fit in what is left.
  bool take(uint64_t n);
  void give(uint64_t n) { used_ -= n < used_ ? n : used_; }
  uint64_t left() const { return limit_ - used_; }
  uint64_t used() const { return used_; }
  uint64_t peak() const { return peak_; }
  uint64_t limit() const { return limit_; }

 private:
  uint64_t limit_, used_ = 0, peak_ = 0;
};

// The memory goal of the whole program is 48 MiB; code, libraries, the heap's own slack and the
// small buffers (job reading, JPEG writing) stay below 8 MiB of it.
constexpr uint64_t kDecodeBudget = 40u << 20;

// A share of a budget, given back when it goes out of scope.
class BudgetShare {
 public:
  BudgetShare() = default;
  BudgetShare(MemoryBudget* b, uint64_t n) { take(b, n); }
  ~BudgetShare() { release(); }
  BudgetShare(BudgetShare&& o) noexcept : b_(o.b_), n_(o.n_) { o.b_ = nullptr, o.n_ = 0; }
  BudgetShare& operator=(BudgetShare&& o) noexcept;
  BudgetShare(const BudgetShare&) = delete;
  BudgetShare& operator=(const BudgetShare&) = delete;
  // Gives back what is held, then takes n bytes; false when they do not fit.
  bool take(MemoryBudget* b, uint64_t n);
  void release();
  bool held() const { return b_ != nullptr; }

 private:
  MemoryBudget* b_ = nullptr;
  uint64_t n_ = 0;
};

class PageCanvas {
 public:
  // False when the picture buffer cannot be allocated or does not fit the budget (none given:
  // the canvas has a budget of its own of kDecodeBudget).
  bool init(const Geometry& g, const ColorFormat& fmt, MemoryBudget* budget = nullptr);
  const Geometry& geometry() const { return g_; }
  const ColorFormat& format() const { return fmt_; }
  // The budget every buffer of this page's decode takes its bytes from.
  MemoryBudget* budget() { return budget_ ? budget_ : &own_budget_; }

  // Whether page row y lands in the picture.
  bool row_kept(uint32_t y) const {
    return y % g_.factor == 0 && y / g_.factor < g_.out_height;
  }
  // Rows from y (not kept) to the next kept row; UINT64_MAX when no row below is kept.
  uint64_t rows_to_next_kept(uint32_t y) const;
  // The picture columns [*first, *last) that sample page columns x0..x1 (both included).
  void sampled_columns(uint32_t x0, uint32_t x1, uint32_t* first, uint32_t* last) const;
  // A run of one 4-byte pixel over page columns x0..x1 (both included) of row y.
  void run(uint32_t y, uint32_t x0, uint32_t x1, const uint8_t px[4]);
  // n 4-byte pixels from page column x0 on.
  void piece(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* px);
  // n RGB pixels from column x0 on (decoded JPEG rows), taken through the page's format.
  void piece_rgb(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* rgb);
  // n RGB pixels of page row y straight into picture columns ox0, ox0 + 1, ... (already sampled).
  void put_out_rgb(uint32_t y, uint32_t ox0, uint32_t n, const uint8_t* rgb);
  // Sets one picture pixel directly (JBIG planes are combined in picture space).
  void set_out(uint32_t ox, uint32_t oy, const uint8_t px[4]);

  const std::vector<uint8_t>& rgb() const { return rgb_; }
  std::vector<uint8_t>& rgb() { return rgb_; }

 private:
  uint8_t* out_row(uint32_t y) { return rgb_.data() + static_cast<size_t>(y / g_.factor) * g_.out_width * 3; }

  Geometry g_;
  ColorFormat fmt_;
  MemoryBudget own_budget_{kDecodeBudget};
  MemoryBudget* budget_ = nullptr;
  BudgetShare share_;  // the picture's bytes
  std::vector<uint8_t> rgb_;
};

}  // namespace thumbs
