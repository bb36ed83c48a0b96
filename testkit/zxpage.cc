#include "testkit/zxpage.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "common/fsops.h"
#include "spooler/jobstream.h"

namespace testkit {
namespace {

void put32(std::string* s, uint32_t v, bool le = false) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(le ? v >> (8 * i) : v >> (24 - 8 * i)));
}
void put16(std::string* s, uint32_t v, bool le = false) {
  if (le) {
    s->push_back(static_cast<char>(v));
    s->push_back(static_cast<char>(v >> 8));
  } else {
    s->push_back(static_cast<char>(v >> 8));
    s->push_back(static_cast<char>(v));
  }
}

// ---- reading pictures -------------------------------------------------------------------------

bool pnm_token(const std::string& d, size_t* pos, uint32_t* value) {
  while (*pos < d.size()) {
    char c = d[*pos];
    if (c == '#') {
      while (*pos < d.size() && d[*pos] != '\n') ++*pos;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++*pos;
    } else {
      break;
    }
  }
  uint64_t v = 0;
  size_t start = *pos;
  while (*pos < d.size() && std::isdigit(static_cast<unsigned char>(d[*pos])) && v < 100000000)
    v = v * 10 + static_cast<uint64_t>(d[(*pos)++] - '0');
  *value = static_cast<uint32_t>(v);
  return *pos > start;
}

bool load_pnm(const std::string& d, Picture* pic, std::string* err) {
  char kind = d.size() > 2 ? d[1] : 0;
  size_t pos = 2;
  uint32_t w = 0, h = 0, maxval = 1;
  if (!pnm_token(d, &pos, &w) || !pnm_token(d, &pos, &h) || (kind != '4' && !pnm_token(d, &pos, &maxval)) ||
      w == 0 || h == 0 || maxval == 0 || maxval > 255) {
    *err = "unsupported PNM header";
    return false;
  }
  ++pos;  // the single white-space byte after the header
  size_t row_bytes = kind == '4' ? (w + 7) / 8 : kind == '5' ? w : size_t(w) * 3;
  if (pos > d.size() || (d.size() - pos) / row_bytes < h) {
    *err = "PNM data cut short";
    return false;
  }
  pic->width = w;
  pic->height = h;
  pic->rgb.resize(size_t(w) * h * 3);
  const auto* p = reinterpret_cast<const uint8_t*>(d.data() + pos);
  for (uint32_t y = 0; y < h; ++y, p += row_bytes) {
    uint8_t* o = pic->rgb.data() + size_t(y) * w * 3;
    for (uint32_t x = 0; x < w; ++x, o += 3) {
      uint8_t v;
      if (kind == '4') {
        v = (p[x >> 3] >> (7 - (x & 7)) & 1) ? 0 : 255;
        o[0] = o[1] = o[2] = v;
      } else if (kind == '5') {
        o[0] = o[1] = o[2] = static_cast<uint8_t>(p[x] * 255u / maxval);
      } else {
        for (int c = 0; c < 3; ++c) o[c] = static_cast<uint8_t>(p[3 * x + c] * 255u / maxval);
      }
    }
  }
  return true;
}

struct JErr {
  jpeg_error_mgr pub;
  jmp_buf jump;
};
void jfail(j_common_ptr c) { longjmp(reinterpret_cast<JErr*>(c->err)->jump, 1); }

bool load_jpeg(const std::string& d, Picture* pic, std::string* err) {
  jpeg_decompress_struct c;
  JErr e;
  c.err = jpeg_std_error(&e.pub);
  e.pub.error_exit = jfail;
  if (setjmp(e.jump)) {
    jpeg_destroy_decompress(&c);
    *err = "broken JPEG file";
    return false;
  }
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, reinterpret_cast<const unsigned char*>(d.data()), d.size());
  jpeg_read_header(&c, TRUE);
  c.out_color_space = JCS_RGB;
  jpeg_start_decompress(&c);
  pic->width = c.output_width;
  pic->height = c.output_height;
  pic->rgb.resize(size_t(pic->width) * pic->height * 3);
  while (c.output_scanline < c.output_height) {
    JSAMPROW row = pic->rgb.data() + size_t(c.output_scanline) * pic->width * 3;
    jpeg_read_scanlines(&c, &row, 1);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  pic->jpeg = d;
  return true;
}

// ---- page data --------------------------------------------------------------------------------

constexpr char kEsc = 0x1B;

void pixel_of(const uint8_t rgb[3], bool cmyk, uint8_t px[4]) {
  if (!cmyk) {
    px[0] = rgb[0], px[1] = rgb[1], px[2] = rgb[2], px[3] = 0;
  } else if (rgb[0] == 0 && rgb[1] == 0 && rgb[2] == 0) {
    px[0] = px[1] = px[2] = 0, px[3] = 255;  // black as black ink
  } else {
    px[0] = static_cast<uint8_t>(255 - rgb[0]);
    px[1] = static_cast<uint8_t>(255 - rgb[1]);
    px[2] = static_cast<uint8_t>(255 - rgb[2]);
    px[3] = 0;
  }
}

void cmd_short(std::string* s, uint8_t c, const std::string& args) {
  s->push_back(kEsc);
  s->push_back(static_cast<char>(c));
  s->push_back(static_cast<char>(args.size()));
  *s += args;
}
void cmd_long(std::string* s, uint8_t c, const std::string& args) {
  s->push_back(kEsc);
  s->push_back(static_cast<char>(c));
  put16(s, static_cast<uint32_t>(args.size()));
  *s += args;
}

void set_color(std::string* s, const uint8_t px[4]) {
  cmd_short(s, 192, std::string(reinterpret_cast<const char*>(px), 4));
}
void run(std::string* s, uint32_t n) {
  std::string a;
  put32(&a, n);
  cmd_short(s, 193, a);
}

void image(std::string* s, const std::string& bytes) {
  std::string a;
  put32(&a, static_cast<uint32_t>(bytes.size()));
  cmd_long(s, 225, a);
  *s += bytes;
}

std::string striped(const Picture& pic, uint32_t row0, uint32_t rows, uint32_t stripe_rows, int quality,
                    bool nested) {
  std::string body;
  uint32_t stripes = 0;
  for (uint32_t r = 0; r < rows; r += stripe_rows, ++stripes) {
    uint32_t n = std::min(stripe_rows, rows - r);
    std::string data = nested ? striped(pic, row0 + r, n, std::max<uint32_t>(1, (n + 1) / 2), quality, false)
                              : encode_jpeg(pic, quality, row0 + r, n);
    put32(&body, 16);
    put32(&body, static_cast<uint32_t>(data.size()));
    put32(&body, r);
    put32(&body, n);
    body += data;
  }
  std::string h = "ZCSB";
  put32(&h, 44);
  h.push_back(static_cast<char>(nested ? 83 : 74));
  h.append(3, '\0');
  put32(&h, pic.width);
  h.append(8, '\0');
  put32(&h, rows);
  put32(&h, stripes);
  put32(&h, stripe_rows);
  put32(&h, 3);
  put32(&h, 0);
  h.append(4, '\0');
  return h + body;
}

std::string zx_job(uint32_t width, uint32_t page_h, const std::string& data, const ZxPageSpec& gen, int pages) {
  const bool le = gen.little_endian;
  auto header = [le](std::string* s, uint32_t size, uint32_t type, uint32_t items) {
    zjs::ChunkHeader h;
    h.size = size;
    h.type = type;
    h.items = items;
    unsigned char b[zjs::kHeaderSize];
    zjs::encode_header(h, b, le);
    s->append(reinterpret_cast<const char*>(b), sizeof b);
  };
  auto chunk = [&](std::string* s, uint32_t type, const std::vector<std::pair<uint16_t, uint32_t>>& items) {
    header(s, static_cast<uint32_t>(zjs::kHeaderSize + zjs::kNumericItemSize * items.size()), type,
           static_cast<uint32_t>(items.size()));
    for (const auto& [id, value] : items) {
      zjs::Item it;
      it.id = id;
      it.value = value;
      unsigned char b[zjs::kNumericItemSize];
      zjs::encode_item(it, b, le);
      s->append(reinterpret_cast<const char*>(b), sizeof b);
    }
  };
  std::string s = le ? "ZJZJ" : "JZJZ";
  chunk(&s, zjs::START_DOC, {{zjs::ZJI_PAGECOUNT, static_cast<uint32_t>(pages)}});
  for (int p = 0; p < pages; ++p) {
    chunk(&s, zjs::START_PAGE, {{zjs::ZJI_COPIES, 1}, {zjs::ZJI_WIDTH, width}, {zjs::ZJI_LENGTH, width}, {zjs::ZJI_HEIGHT, page_h}});
    chunk(&s, zjs::ZX_START, {{44, 4}, {46, gen.cmyk ? 0x04030201u : 0u}, {5, gen.copies}, {53, gen.version}});
    for (size_t off = 0; off < data.size();) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(std::max<uint32_t>(1, gen.data_chunk), data.size() - off));
      uint32_t pad = (4 - n % 4) % 4;  // padding after the payload that counts
      header(&s, static_cast<uint32_t>(zjs::kHeaderSize + n + pad), zjs::ZX_DATA, n);
      s.append(data, off, n);
      s.append(pad, '\0');
      off += n;
    }
    chunk(&s, zjs::ZX_END, {});
    chunk(&s, zjs::END_PAGE, {});
  }
  chunk(&s, zjs::END_DOC, {});
  return s;
}

}  // namespace

bool load_picture(const std::string& path, Picture* pic, std::string* err) {
  std::string d;
  if (!ld::read_file(path, &d, err)) return false;
  if (d.size() > 2 && static_cast<uint8_t>(d[0]) == 0xFF && static_cast<uint8_t>(d[1]) == 0xD8)
    return load_jpeg(d, pic, err);
  if (d.size() > 2 && d[0] == 'P' && (d[1] == '4' || d[1] == '5' || d[1] == '6')) return load_pnm(d, pic, err);
  *err = "not a binary PNM or JPEG file";
  return false;
}

std::string encode_jpeg(const Picture& pic, int quality, uint32_t row0, uint32_t rows) {
  rows = std::min(rows, pic.height - std::min(row0, pic.height));
  jpeg_compress_struct c;
  JErr e;
  c.err = jpeg_std_error(&e.pub);
  e.pub.error_exit = jfail;
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  if (setjmp(e.jump)) {
    jpeg_destroy_compress(&c);
    std::free(mem);
    return {};
  }
  jpeg_create_compress(&c);
  jpeg_mem_dest(&c, &mem, &size);
  c.image_width = pic.width;
  c.image_height = rows;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < rows) {
    JSAMPROW row = const_cast<JSAMPROW>(pic.rgb.data() + size_t(row0 + c.next_scanline) * pic.width * 3);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string out(reinterpret_cast<char*>(mem), size);
  std::free(mem);
  return out;
}

std::string to_ppm(const Picture& pic) {
  std::string s = "P6\n" + std::to_string(pic.width) + " " + std::to_string(pic.height) + "\n255\n";
  s.append(reinterpret_cast<const char*>(pic.rgb.data()), pic.rgb.size());
  return s;
}

bool parse_zx_mode(const std::string& name, ZxMode* mode) {
  static const std::pair<const char*, ZxMode> names[] = {
      {"runs", ZxMode::kRuns}, {"pixels", ZxMode::kPixels}, {"jpeg", ZxMode::kJpeg},
      {"stripes", ZxMode::kStripes}, {"nested", ZxMode::kNestedStripes}};
  for (const auto& n : names)
    if (name == n.first) return *mode = n.second, true;
  return false;
}

void zx_gradient_rgb(uint32_t width, uint32_t x, uint8_t rgb[3]) {
  const int64_t base = std::min<uint32_t>(width / 8, 32767), span = std::min<uint32_t>(width * 3 / 4, 65535);
  const uint8_t a[3] = {255, 64, 0}, b[3] = {0, 96, 255};
  int64_t t = int64_t(x) - base;
  for (int i = 0; i < 3; ++i)
    rgb[i] = t <= 0 ? a[i] : t >= span ? b[i] : static_cast<uint8_t>(a[i] + (int64_t(b[i]) - a[i]) * t / span);
}

std::string zx_page_data(const Picture& pic, const ZxPageSpec& gen) {
  std::string s;
  if (gen.unknown_escape) {
    // 229 lies beyond the command table: the renderer reports it and steps over its 3 + 5 bytes.
    cmd_long(&s, 229, "skip!");
    s.push_back(kEsc);
    s.push_back(3);
  }
  const uint32_t w = pic.width, h = pic.height;
  const uint8_t* px = pic.rgb.data();
  switch (gen.mode) {
    case ZxMode::kRuns: {
      // Runs in raster order: they wrap from one row to the next.
      uint8_t cur[4] = {}, p[4];
      uint64_t count = 0;
      for (size_t i = 0; i < size_t(w) * h; ++i) {
        pixel_of(px + 3 * i, gen.cmyk, p);
        if (count > 0 && std::memcmp(p, cur, 4) == 0 && count < 0xFFFFFFFFu) {
          ++count;
          continue;
        }
        if (count > 0) run(&s, static_cast<uint32_t>(count));
        set_color(&s, p);
        std::memcpy(cur, p, 4);
        count = 1;
      }
      if (count > 0) run(&s, static_cast<uint32_t>(count));
      break;
    }
    case ZxMode::kPixels: {
      for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* row = px + size_t(y) * w * 3;
        // White at the end of a row is left to the row-end command.
        uint32_t used = w;
        while (used > 0 && row[3 * (used - 1)] == 255 && row[3 * (used - 1) + 1] == 255 && row[3 * (used - 1) + 2] == 255) --used;
        for (uint32_t x = 0; x < used;) {
          uint32_t n = std::min<uint32_t>(used - x, 16383);
          std::string a;
          for (uint32_t i = 0; i < n; ++i) {
            uint8_t p[4];
            pixel_of(row + 3 * (x + i), gen.cmyk, p);
            a.append(reinterpret_cast<char*>(p), 4);
          }
          cmd_long(&s, 224, a);
          x += n;
        }
        if (used < w || w == 0) {
          s.push_back(kEsc);
          s.push_back(8);
        }
      }
      break;
    }
    case ZxMode::kJpeg:
      image(&s, !pic.jpeg.empty() ? pic.jpeg : encode_jpeg(pic, gen.quality));
      break;
    case ZxMode::kStripes:
    case ZxMode::kNestedStripes:
      image(&s, striped(pic, 0, h, std::max<uint32_t>(1, gen.stripe_rows), gen.quality,
                        gen.mode == ZxMode::kNestedStripes));
      break;
  }
  if (gen.gradient_rows > 0) {
    uint8_t a[3] = {255, 64, 0}, b[3] = {0, 96, 255}, pa[4], pb[4];
    pixel_of(a, gen.cmyk, pa);
    pixel_of(b, gen.cmyk, pb);
    std::string args;
    put16(&args, std::min<uint32_t>(w / 8, 32767));
    put16(&args, std::min<uint32_t>(w * 3 / 4, 65535));
    args.append(reinterpret_cast<char*>(pa), 4);
    args.append(reinterpret_cast<char*>(pb), 4);
    cmd_short(&s, 215, args);
    std::string n;
    put32(&n, w * gen.gradient_rows);
    cmd_short(&s, 194, n);
  }
  s.push_back(kEsc);
  s.push_back(9);  // end of page
  return s;
}

std::string zx_gapped_stripes(uint32_t width, uint32_t height, uint32_t empty) {
  Picture red;
  red.width = width;
  red.height = 1;
  red.rgb.resize(size_t(width) * 3);
  for (size_t i = 0; i < red.rgb.size(); i += 3) red.rgb[i] = 255;
  const std::string last = encode_jpeg(red, 90);
  std::string img = "ZCSB";
  put32(&img, 44);
  img.push_back(74);
  img.append(3, '\0');
  put32(&img, width);
  img.append(8, '\0');
  put32(&img, height);
  put32(&img, empty + 1);
  put32(&img, 1);
  put32(&img, 3);
  img.append(8, '\0');
  for (uint32_t i = 0; i < empty; ++i) {
    put32(&img, 16);
    img.append(12, '\0');  // no data, first row 0, no rows
  }
  put32(&img, 16);
  put32(&img, static_cast<uint32_t>(last.size()));
  put32(&img, height - 1);
  put32(&img, 1);
  img += last;
  std::string s;
  image(&s, img);
  s.push_back(kEsc);
  s.push_back(9);
  return s;
}

std::string zx_long_gradients(uint32_t runs, bool gradient) {
  std::string s, args;
  put16(&args, 100);
  put16(&args, 50000);
  args.append("\0\xff\xff\0\xff\xff\0\0", 8);  // red to blue (CMYK)
  cmd_short(&s, 215, args);
  std::string n;
  put32(&n, 0xFFFFFFFFu);
  if (!gradient) cmd_short(&s, 192, std::string("\0\xff\xff\0", 4));
  for (uint32_t i = 0; i < runs; ++i) cmd_short(&s, gradient ? 194 : 193, n);
  s.push_back(kEsc);
  s.push_back(9);
  return s;
}

std::string make_zx_job(const Picture& pic, const ZxPageSpec& gen, int pages) {
  return zx_job(pic.width, pic.height + gen.gradient_rows, zx_page_data(pic, gen), gen, pages);
}

std::string make_zx_job_of(uint32_t width, uint32_t height, const std::string& data, const ZxPageSpec& gen) {
  return zx_job(width, height, data, gen, 1);
}

}  // namespace testkit
