// Shared by the thumbs unit tests: synthetic pictures, files in a temporary root, captured
// message streams, real driver jobs made by foo2zjs, and picture comparison.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/fsops.h"
#include "common/run.h"
#include "testkit/scenario.h"
#include "testkit/zxpage.h"
#include "thumbs/pagecanvas.h"
#include "thumbs/pagedecode.h"
#include "thumbs/zxdoc.h"

namespace thumbs_test {

// Colour bars over the top half, a grey ramp and black text-like blocks below: flat areas for
// runs, edges, and every ink.
inline testkit::Picture test_picture(uint32_t w, uint32_t h) {
  testkit::Picture p;
  p.width = w;
  p.height = h;
  p.rgb.resize(size_t(w) * h * 3);
  static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                     {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* o = p.rgb.data() + (size_t(y) * w + x) * 3;
      if (y < h / 2) {
        const uint8_t* b = bars[x * 8 / w];
        o[0] = b[0], o[1] = b[1], o[2] = b[2];
      } else if (y < h * 3 / 4) {
        o[0] = o[1] = o[2] = static_cast<uint8_t>(x * 255 / (w - 1));
      } else {
        bool ink = ((x / 7) % 3 == 0) && ((y / 5) % 2 == 0);
        o[0] = o[1] = o[2] = ink ? 0 : 255;
      }
    }
  }
  return p;
}

// A plain write (no sync): the truncation tests write thousands of files.
inline void put_file(const std::string& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

// The same picture in the eight primaries and white (what a 1-bit CMYK driver can show).
inline testkit::Picture primaries(uint32_t w, uint32_t h) {
  testkit::Picture p = test_picture(w, h);
  for (auto& v : p.rgb) v = v < 128 ? 0 : 255;
  return p;
}

inline std::string write_temp(const testkit::TempRoot& root, const std::string& name, const std::string& data) {
  std::string path = root.path() + "/" + name;
  put_file(path, data);
  return path;
}

// A FILE* whose text can be read back.
struct Captured {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  ~Captured() {
    if (f) std::fclose(f);
    std::free(buf);
  }
  std::string text() {
    std::fflush(f);
    return std::string(buf, len);
  }
};

// Runs foo2zjs on a raster (pbm, or bitcmyk with colour) and returns the job.
inline std::string foo2zjs_job(const testkit::TempRoot&, const std::string& raster, uint32_t w, uint32_t h,
                               bool colour, const std::string& extra = "-z0") {
  std::vector<std::string> argv = {"/usr/bin/foo2zjs", "-r600x600",
                                   "-g" + std::to_string(w) + "x" + std::to_string(h), "-p1", extra};
  if (colour) argv.push_back("-c");
  std::string out;
  ld::RunOptions opt;
  opt.stdin_text = raster;
  opt.discard_output = false;
  opt.capture = &out;
  ld::run_program(argv, opt);
  return out;
}

// A real driver job of one 1000 x 400,000 grey page (a checkerboard of dots, 6.8 KB of job):
// its JBIG plane would take 48 MiB if held whole.
inline std::string tall_driver_job(const testkit::TempRoot& root) {
  // Made once: the driver takes seconds over the 50 MB raster.
  static const std::string made = [&root] {
    std::string pbm = "P4\n1000 400000\n";
    std::string rows;  // two rows of alternating dots
    for (int i = 0; i < 250; ++i) rows.push_back(static_cast<char>((i < 125) == (i % 2 == 0) ? 0x55 : 0xAA));
    pbm.reserve(pbm.size() + rows.size() * 200000);
    for (int y = 0; y < 200000; ++y) pbm += rows;
    return foo2zjs_job(root, pbm, 1000, 400000, false);
  }();
  return made;
}

// Ghostscript's bitcmyk raster (4 bits a pixel, C M Y K from the high bit) of an RGB picture
// made only of the eight primary colours and white.
inline std::string bitcmyk_of(const testkit::Picture& p) {
  std::string out;
  for (uint32_t y = 0; y < p.height; ++y) {
    unsigned acc = 0;
    for (uint32_t x = 0; x < p.width; ++x) {
      const uint8_t* c = p.rgb.data() + (size_t(y) * p.width + x) * 3;
      unsigned v = (c[0] == 0 && c[1] == 0 && c[2] == 0) ? 1 : ((c[0] < 128) << 3 | (c[1] < 128) << 2 | (c[2] < 128) << 1);
      acc = acc << 4 | v;
      if (x % 2 == 1) {
        out.push_back(static_cast<char>(acc));
        acc = 0;
      }
    }
    if (p.width % 2 == 1) out.push_back(static_cast<char>(acc << 4));
  }
  return out;
}

inline std::string pbm_of(const testkit::Picture& p) {
  std::string out = "P4\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
  for (uint32_t y = 0; y < p.height; ++y) {
    unsigned acc = 0;
    int bits = 0;
    for (uint32_t x = 0; x < p.width; ++x) {
      const uint8_t* c = p.rgb.data() + (size_t(y) * p.width + x) * 3;
      acc = acc << 1 | (c[0] < 128 ? 1u : 0u);
      if (++bits == 8) {
        out.push_back(static_cast<char>(acc));
        acc = 0;
        bits = 0;
      }
    }
    if (bits > 0) out.push_back(static_cast<char>(acc << (8 - bits)));
  }
  return out;
}

// The reduction of a full page buffer as the text states it: rows 0, f, 2f, ... and columns
// 0, f, 2f, ...
inline std::vector<uint8_t> reduce(const std::vector<uint8_t>& full, uint32_t w, uint32_t f, uint32_t ow, uint32_t oh) {
  std::vector<uint8_t> out(size_t(ow) * oh * 3);
  for (uint32_t oy = 0; oy < oh; ++oy)
    for (uint32_t ox = 0; ox < ow; ++ox)
      for (int c = 0; c < 3; ++c)
        out[(size_t(oy) * ow + ox) * 3 + c] = full[(size_t(oy) * f * w + size_t(ox) * f) * 3 + c];
  return out;
}

// Mean and largest absolute difference of the sampled source picture and a decoded picture.
struct Diff {
  double mean = 0;
  int max = 0;
};
inline Diff compare(const testkit::Picture& src, uint32_t f, const uint8_t* rgb, uint32_t ow, uint32_t oh) {
  Diff d;
  uint64_t sum = 0, n = 0;
  for (uint32_t oy = 0; oy < oh && oy * f < src.height; ++oy)
    for (uint32_t ox = 0; ox < ow && ox * f < src.width; ++ox)
      for (int c = 0; c < 3; ++c) {
        int a = src.rgb[(size_t(oy) * f * src.width + size_t(ox) * f) * 3 + c];
        int b = rgb[(size_t(oy) * ow + ox) * 3 + c];
        int e = std::abs(a - b);
        sum += static_cast<uint64_t>(e);
        ++n;
        if (e > d.max) d.max = e;
      }
  d.mean = n ? double(sum) / double(n) : 0;
  return d;
}

struct Decoded {
  int read_rc = 0;
  bool info_ok = false;
  int rc = -100;
  int pages = 0;
  thumbs::PageInfo info;
  thumbs::Geometry g;
  std::vector<uint8_t> rgb;
  std::string msgs, err;
};

// Reads a job file and decodes one page, sampled for a thumbnail or (full) whole.
inline Decoded decode_file(const std::string& path, int page = 0, bool full = false) {
  Decoded d;
  thumbs::ZxDoc doc;
  if (!doc.open(path, &d.err)) return d;
  d.read_rc = doc.read();
  const thumbs::ZxObject* pg = doc.find_page(page, &d.pages);
  if (pg == nullptr) return d;
  d.info_ok = thumbs::page_info(doc, pg, &d.info, &d.err);
  if (!d.info_ok) return d;
  d.g = full ? thumbs::full_geometry(d.info.width, d.info.height)
             : thumbs::thumb_geometry(d.info.width, d.info.height);
  thumbs::PageCanvas canvas;
  thumbs::ColorFormat fmt;
  fmt.format = d.info.format;
  if (!canvas.init(d.g, fmt)) return d;
  Captured msg;
  d.rc = thumbs::decode_page(doc, pg, d.info, &canvas, msg.f, &d.err);
  d.msgs = msg.text();
  d.rgb = canvas.rgb();
  return d;
}

inline Decoded decode_bytes(const testkit::TempRoot& root, const std::string& job, int page = 0, bool full = false) {
  return decode_file(write_temp(root, "job.prn", job), page, full);
}

}  // namespace thumbs_test
