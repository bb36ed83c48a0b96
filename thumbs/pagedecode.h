// Decoding one page of a job into its thumbnail canvas: ZX pages through the ZX renderer, fed
// with the page's ZX_DATA chunks on demand, and pages of JBIG planes (as common ZjStream drivers
// write them) through jbigkit, one plane after another, combined as CMYK.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "thumbs/pagecanvas.h"
#include "thumbs/zxdoc.h"

namespace thumbs {

enum class PageKind { kZx, kJbig, kUnknown };

struct PageInfo {
  PageKind kind = PageKind::kUnknown;
  uint32_t width = 0, height = 0;  // pixels and rows of the page picture
  uint32_t bytes_per_pixel = 4;
  uint32_t format = 0;             // ZX: attribute 46
  uint32_t marker_value = 1;       // the number the thumbnail marker carries as copies
};

// Sizes beyond these are not pages this appliance prints; such pages are not decoded.
constexpr uint32_t kMaxPageWidth = 1000000;
constexpr uint32_t kMaxPageHeight = 10000000;

// What the page is and how large. False (with *err) when it cannot be decoded here: no image,
// an unknown codec, sizes out of range; info still holds what was found (for a placeholder).
bool page_info(ZxDoc& doc, const ZxObject* page, PageInfo* info, std::string* err);

// Decodes the page into the canvas (already set up with the page's geometry and format).
// 0 when the page was decoded (data that simply end leave the rest of the page white), or a
// negative code with *err when the page data are broken.
int decode_page(ZxDoc& doc, const ZxObject* page, const PageInfo& info, PageCanvas* canvas,
                FILE* msg, std::string* err);

// Plane numbers of JBIG pages: which ink each is. Checked against driver output made from a
// known colour picture: plane 1 holds cyan, 2 magenta, 3 yellow, 4 black (some dump tools
// label 2 and 3 the other way round).
int plane_channel(uint32_t plane);  // 0 cyan, 1 magenta, 2 yellow, 3 black, -1 unknown

}  // namespace thumbs
