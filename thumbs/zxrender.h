// The renderer of ZX page data (the "ZXID" image object): reads the page-data stream as escape
// commands that draw runs of one colour, pieces of pixel rows, gradients and embedded images,
// and delivers every pixel to the page canvas in order. The command set is ours; its byte
// layout is described in docs/zx-page-data.md.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "thumbs/pagecanvas.h"
#include "thumbs/zximage.h"

namespace thumbs {

// Answers of the renderer.
constexpr int kZxRowDone = 0;
constexpr int kZxNeedData = -33;   // hand the next ZX_DATA chunk, then ask again
constexpr int kZxIncomplete = -14; // a command is not all there yet (inside the renderer)
constexpr int kZxBadData = -20;    // the data are not a command stream
constexpr int kZxBadImage = -21;   // an embedded image cannot be decoded

constexpr uint8_t kEsc = 0x1B;
// Commands (the byte after the escape introducer).
enum ZxCommand : uint8_t {
  kCmdNextRow = 8,         // rest of the row stays white; cursor to the next row's start
  kCmdEndPage = 9,         // rest of the page stays white
  kCmdSetColor = 192,      // n = 4: the current colour (one 4-byte pixel)
  kCmdRun = 193,           // n = 4: 32-bit count of pixels of the current colour
  kCmdGradientRun = 194,   // n = 4: 32-bit count of pixels of the current gradient
  kCmdCreateGradient = 215,// n = 12: base x (signed 16), span (16), colour A, colour B
  kCmdPixels = 224,        // 16-bit length: that many bytes of 4-byte pixels
  kCmdImage = 225,         // 16-bit length 4: 32-bit byte count N; the N image bytes follow
};

// Length L of the command starting with byte c (command byte included), given the bytes after
// it; 0 when more bytes are needed to tell.
uint32_t escape_length(const uint8_t* cmd, size_t avail);

struct ZxParams {
  uint32_t width = 0, height = 0;  // page, from the page's attributes 13 and 14
  uint32_t bytes_per_pixel = 4;    // attribute 44
  uint32_t format = 0;             // attribute 46: 0x04030201 CMYK, otherwise RGB
  uint32_t copies = 1;             // attribute 5
};

// A horizontal colour gradient ("GRAD").
struct Gradient {
  char tag[4] = {'G', 'R', 'A', 'D'};
  int32_t base_x = 0;
  uint32_t span = 0;
  uint8_t from[4] = {0, 0, 0, 0}, to[4] = {0, 0, 0, 0};
  void at(int64_t x, uint8_t px[4]) const;
};

// The page renderer ("ZXID") of one ZX page's image object.
class ZxRenderer {
 public:
  const char tag[4] = {'Z', 'X', 'I', 'D'};

  // msg receives the interpreter's messages (unknown escapes, gradients).
  ZxRenderer(ByteSource* src, const ZxParams& p, PageCanvas* canvas, FILE* msg);
  // The next ZX_DATA payload: `len` bytes at `offset` of the source.
  void add_data(uint64_t offset, uint64_t len) { data_.append(offset, len); }
  // Draws until page row r is complete: kZxRowDone, kZxNeedData, or an error (< 0, see error()).
  int render_row(uint32_t r);
  const std::string& error() const { return err_; }
  uint32_t cursor_row() const { return y_; }

 private:
  int step();
  int execute(const uint8_t* cmd, uint32_t len);
  void advance(uint64_t count, const uint8_t* color, bool gradient);
  void end_row();
  int image_row();
  const uint8_t* gradient_row();

  DataStream data_;
  ZxParams p_;
  PageCanvas* canvas_;
  FILE* msg_;
  uint64_t pos_ = 0;      // stream offset of the next command
  uint32_t x_ = 0, y_ = 0;
  bool done_ = false;
  uint8_t color_[4] = {0, 0, 0, 0};
  Gradient grad_;
  std::vector<uint8_t> grad_row_;  // the gradient at the sampled columns (RGB)
  bool grad_row_ok_ = false;
  std::vector<uint8_t> cmd_;
  std::unique_ptr<Image> image_;
  uint32_t image_row_ = 0;
  std::string err_;
};

}  // namespace thumbs
