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

// How the renderer's 4-byte pixels become RGB: with the format word 0x04030201 they are cyan,
// magenta, yellow and black, each ANDed with its channel mask first; otherwise red, green, blue.
struct ColorFormat {
  uint32_t format = 0;
  uint8_t mask[4] = {255, 255, 255, 255};
  void to_rgb(const uint8_t px[4], uint8_t rgb[3]) const;
  // The 4-byte pixel that shows as this RGB colour (k = 0 for CMYK).
  void from_rgb(const uint8_t rgb[3], uint8_t px[4]) const;
};

class PageCanvas {
 public:
  // False when the picture buffer cannot be allocated.
  bool init(const Geometry& g, const ColorFormat& fmt);
  const Geometry& geometry() const { return g_; }
  const ColorFormat& format() const { return fmt_; }

  // Whether page row y lands in the picture.
  bool row_kept(uint32_t y) const {
    return y % g_.factor == 0 && y / g_.factor < g_.out_height;
  }
  // A run of one 4-byte pixel over page columns x0..x1 (both included) of row y.
  void run(uint32_t y, uint32_t x0, uint32_t x1, const uint8_t px[4]);
  // n 4-byte pixels from page column x0 on.
  void piece(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* px);
  // n RGB pixels from column x0 on (decoded JPEG rows), taken through the page's format.
  void piece_rgb(uint32_t y, uint32_t x0, uint32_t n, const uint8_t* rgb);
  // Sets one picture pixel directly (JBIG planes are combined in picture space).
  void set_out(uint32_t ox, uint32_t oy, const uint8_t px[4]);

  const std::vector<uint8_t>& rgb() const { return rgb_; }
  std::vector<uint8_t>& rgb() { return rgb_; }

 private:
  uint8_t* out_row(uint32_t y) { return rgb_.data() + static_cast<size_t>(y / g_.factor) * g_.out_width * 3; }

  Geometry g_;
  ColorFormat fmt_;
  std::vector<uint8_t> rgb_;
};

}  // namespace thumbs
