// Writing thumbnail JPEGs: baseline JPEG at quality 100 from an RGB picture, with the page
// marker (a 42-byte APP9 segment "TAVU page %d of %d" plus page count, page number and copies)
// right after the JFIF APP0 segment, and the neutral placeholder picture for undecodable pages.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "library/marker.h"

namespace thumbs {

constexpr size_t kApp9Size = library::kMarkerSegmentSize;
// The whole APP9 segment, as the marker codec lays it out.
std::array<uint8_t, kApp9Size> app9_segment(int page, int pages, uint32_t value);

// Writes the picture (w x h, 3 bytes per pixel) to path. False with *err when the file cannot
// be created ("can't open") or written; a file that could not be written whole is removed.
bool write_thumbnail(const std::string& path, const uint8_t* rgb, uint32_t w, uint32_t h, int page,
                     int pages, uint32_t value, std::string* err);

// A picture with what its marker carries.
struct ThumbPicture {
  const uint8_t* rgb = nullptr;
  uint32_t width = 0, height = 0;
  int page = 0, pages = 0;
  uint32_t value = 1;
};
// Writes the picture into the open file fd (from its start; what was there is cut off), named
// path in messages. False with *err ("cannot write PATH: why") when it could not be written
// whole; the caller owns the file and decides what becomes of it.
bool write_thumbnail_fd(int fd, const std::string& path, const ThumbPicture& pic, std::string* err);

// A light grey picture with a darker frame, of the page's proportions (200 pixels on the
// longer side; portrait 141 x 200 when the page size is not known).
void placeholder_picture(uint32_t page_w, uint32_t page_h, std::vector<uint8_t>* rgb, uint32_t* w,
                         uint32_t* h);

}  // namespace thumbs
