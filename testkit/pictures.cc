#include "testkit/pictures.h"

#include <cstdlib>

namespace testkit {

Picture test_picture(uint32_t w, uint32_t h) {
  Picture p;
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

Picture primaries(uint32_t w, uint32_t h) {
  Picture p = test_picture(w, h);
  for (auto& v : p.rgb) v = v < 128 ? 0 : 255;
  return p;
}

Picture shade(uint32_t w, uint32_t h, Shade s) {
  Picture p;
  p.width = w;
  p.height = h;
  p.rgb.assign(size_t(w) * h * 3, s == Shade::kBlack ? 0 : 255);
  if (s == Shade::kGray)
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = (y + 1) % 2; x < w; x += 2) {
        uint8_t* o = p.rgb.data() + (size_t(y) * w + x) * 3;
        o[0] = o[1] = o[2] = 0;
      }
  return p;
}

std::string bitcmyk_of(const Picture& p) {
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

std::string pbm_of(const Picture& p) {
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

std::vector<uint8_t> reduce(const std::vector<uint8_t>& full, uint32_t w, uint32_t f, uint32_t ow, uint32_t oh) {
  std::vector<uint8_t> out(size_t(ow) * oh * 3);
  for (uint32_t oy = 0; oy < oh; ++oy)
    for (uint32_t ox = 0; ox < ow; ++ox)
      for (int c = 0; c < 3; ++c)
        out[(size_t(oy) * ow + ox) * 3 + c] = full[(size_t(oy) * f * w + size_t(ox) * f) * 3 + c];
  return out;
}

Diff compare(const Picture& src, uint32_t f, const uint8_t* rgb, uint32_t ow, uint32_t oh) {
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

}  // namespace testkit
