// Pictures that tests draw pages from and compare decoded pages with: synthetic pictures (colour
// bars, primaries, flat shades), the driver's raster forms of them (PBM, bitcmyk), and the
// sampling and difference measures that a thumbnail is checked with.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "testkit/zxpage.h"

namespace testkit {

// Colour bars over the top half, a grey ramp and black text-like blocks below: flat areas for
// runs, edges, and every ink.
Picture test_picture(uint32_t w, uint32_t h);
// The same picture in the eight primaries and white (what a 1-bit CMYK driver can show).
Picture primaries(uint32_t w, uint32_t h);

enum class Shade { kWhite, kGray, kBlack };
// A page of one shade; grey is a checkerboard of single dots, as a 1-bit driver must draw it.
Picture shade(uint32_t w, uint32_t h, Shade s);

// Ghostscript's bitcmyk raster (4 bits a pixel, C M Y K from the high bit) of a picture made
// only of the eight primary colours and white.
std::string bitcmyk_of(const Picture& p);
// Binary PBM of a picture: black where red is below half.
std::string pbm_of(const Picture& p);

// The reduction of a full page buffer: rows 0, f, 2f, ... and columns 0, f, 2f, ...
std::vector<uint8_t> reduce(const std::vector<uint8_t>& full, uint32_t w, uint32_t f, uint32_t ow, uint32_t oh);

// Mean and largest absolute difference of the sampled source picture and a decoded picture.
struct Diff {
  double mean = 0;
  int max = 0;
};
Diff compare(const Picture& src, uint32_t f, const uint8_t* rgb, uint32_t ow, uint32_t oh);

}  // namespace testkit
