// ZX pages for tests, benchmarks and the demo: jobs whose pages are drawn from a picture (PNM or
// JPEG) in the page-data format of docs/zx-page-data.md: runs of one colour, pixel pieces, a
// whole embedded JPEG, or striped images (JPEG stripes, or striped stripes), in CMYK or RGB,
// optionally with a gradient band and an escape command the renderer does not know.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3
  std::string jpeg;          // the original bytes when the picture was read from a JPEG file
};

// Reads a binary PNM (P4, P5, P6, maxval up to 255) or a JPEG file.
bool load_picture(const std::string& path, Picture* pic, std::string* err);
// JPEG bytes of an RGB picture (rows [row0, row0 + rows)).
std::string encode_jpeg(const Picture& pic, int quality, uint32_t row0 = 0, uint32_t rows = UINT32_MAX);
// Binary PPM (P6) of a picture.
std::string to_ppm(const Picture& pic);

enum class ZxMode { kRuns, kPixels, kJpeg, kStripes, kNestedStripes };
bool parse_zx_mode(const std::string& name, ZxMode* mode);

struct ZxPageSpec {
  ZxMode mode = ZxMode::kRuns;
  bool cmyk = true;             // format word 0x04030201; otherwise RGB
  uint32_t stripe_rows = 256;   // rows per stripe (striped modes)
  int quality = 90;             // JPEG quality of encoded images
  uint32_t gradient_rows = 0;   // a gradient band of this many rows below the picture
  bool unknown_escape = false;  // an escape command the renderer does not know, first
  uint32_t data_chunk = 65536;  // largest ZX_DATA payload
  uint32_t copies = 1;          // attribute 5 of the image object
  uint32_t version = 1;         // attribute 53 of the image object
  bool little_endian = false;   // "ZJZJ" job with little-endian numbers
};

// The page-data stream (escape commands) that draws the picture; the page is
// pic.width x (pic.height + gradient_rows).
std::string zx_page_data(const Picture& pic, const ZxPageSpec& gen);
// The colour of the gradient band at column x of a page `width` wide (RGB).
void zx_gradient_rgb(uint32_t width, uint32_t x, uint8_t rgb[3]);
// A whole job of `pages` such pages (START_DOC with the page count).
std::string make_zx_job(const Picture& pic, const ZxPageSpec& gen, int pages = 1);
// A job of one width x height page drawn by hand-made page data (gen gives the rest).
std::string make_zx_job_of(uint32_t width, uint32_t height, const std::string& data,
                           const ZxPageSpec& gen = ZxPageSpec());

// Small pages that are costly to decode carelessly:
// a striped image `height` rows tall whose stripes are `empty` stripes of no rows, then one
// stripe holding its last row (one red JPEG row), so every row before it lies in a gap;
std::string zx_gapped_stripes(uint32_t width, uint32_t height, uint32_t empty);
// `runs` gradient runs of 2^32 - 1 pixels each under one gradient (plain runs of one colour
// when `gradient` is false: the same page drawn cheaply, a baseline).
std::string zx_long_gradients(uint32_t runs, bool gradient = true);

}  // namespace testkit
