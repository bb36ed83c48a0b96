#include "thumbs/pagedecode.h"

extern "C" {
#include <jbig.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "spooler/jobstream.h"
#include "thumbs/zxrender.h"

namespace thumbs {
namespace {

// The page picture's width is taken from the length item, its height from the height item.
constexpr uint16_t kAttrWidth = zjs::ZJI_LENGTH, kAttrHeight = zjs::ZJI_HEIGHT;
constexpr uint16_t kAttrBpp = 44, kAttrFormat = 46;
constexpr uint16_t kAttrCopies = 5, kAttrVersion = 53, kAttrPlane = 20;

void collect(const ZxObject* o, zjs::ChunkType kind, std::vector<const ZxObject*>* out) {
  for (const ZxObject* c : o->children) {
    if (c->kind == static_cast<int>(kind)) out->push_back(c);
    collect(c, kind, out);
  }
}

bool read_bih(ZxDoc& doc, const ZxObject* group, unsigned char bih[20]) {
  if (group->payload_len < 20) return false;
  FdSource src(doc.fd());
  return src.read_at(group->payload_offset, bih, 20);
}

// ---- JBIG planes -----------------------------------------------------------------------------

// A plane is decoded whole (jbigkit's full decoder is the one its static library carries), so
// a plane may hold at most this many bytes; pages beyond it get a placeholder.
constexpr uint64_t kMaxPlaneBytes = 48u << 20;

struct JbigDecoder {
  jbg_dec_state st;
  JbigDecoder() { jbg_dec_init(&st); }
  ~JbigDecoder() { jbg_dec_free(&st); }
  JbigDecoder(const JbigDecoder&) = delete;
  JbigDecoder& operator=(const JbigDecoder&) = delete;
};

int decode_jbig(ZxDoc& doc, const ZxObject* page, PageCanvas* canvas, std::string* err) {
  std::vector<const ZxObject*> groups;
  collect(page, zjs::JBIG_BIH, &groups);
  const Geometry& g = canvas->geometry();
  BudgetShare ink_share(canvas->budget(), uint64_t(g.out_width) * g.out_height);
  if (!ink_share.held()) {
    *err = "no memory left for the page's inks";
    return -1;
  }
  std::vector<uint8_t> inks(size_t(g.out_width) * g.out_height, 0);  // one bit per ink
  FdSource src(doc.fd());
  std::vector<unsigned char> block(65536);
  for (const ZxObject* grp : groups) {
    int channel = plane_channel(get_attr(grp, kAttrPlane, 4));
    if (channel < 0) continue;
    unsigned char bih[20];
    if (!read_bih(doc, grp, bih)) {
      *err = "JBIG plane without a complete header";
      return -1;
    }
    // jbigkit allocates the rows the header announces: for an image of one resolution layer
    // (what drivers write), announce only the stripes that hold the rows the picture samples.
    uint64_t xd = val32(bih + 4), yd = val32(bih + 8);
    if (bih[0] == 0 && bih[1] == 0) yd = banded_rows_needed(g, static_cast<uint32_t>(yd), val32(bih + 12));
    write32(static_cast<uint32_t>(yd), bih + 8);
    BudgetShare plane_share(canvas->budget(), (xd + 7) / 8 * yd);
    if (bih[2] != 1 || xd == 0 || xd > kMaxPageWidth || (xd + 7) / 8 * yd > kMaxPlaneBytes || !plane_share.held()) {
      *err = "JBIG plane too large or with several bit planes";
      return -1;
    }
    JbigDecoder dec;
    jbg_dec_maxsize(&dec.st, static_cast<unsigned long>(xd), static_cast<unsigned long>(kMaxPlaneBytes * 8 / xd));
    size_t cnt = 0;
    int rc = jbg_dec_in(&dec.st, bih, 20, &cnt);
    for (const ZxObject* bid : grp->children) {
      if (bid->kind != static_cast<int>(zjs::JBIG_BID) || rc != JBG_EAGAIN) continue;
      for (uint64_t done = 0; done < bid->payload_len && rc == JBG_EAGAIN;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bid->payload_len - done));
        if (!src.read_at(bid->payload_offset + done, block.data(), n)) {
          *err = "JBIG data cannot be read";
          return -1;
        }
        rc = jbg_dec_in(&dec.st, block.data(), n, &cnt);
        done += n;
      }
    }
    // A plane whose data stop early keeps what was decoded; broken data are an error.
    if (rc != JBG_EOK && rc != JBG_EAGAIN) {
      *err = std::string("JBIG plane: ") + jbg_strerror(rc);
      return -1;
    }
    const unsigned char* image = jbg_dec_getimage(&dec.st, 0);
    if (image == nullptr) continue;
    const uint64_t width = jbg_dec_getwidth(&dec.st), height = jbg_dec_getheight(&dec.st);
    const size_t bpl = static_cast<size_t>((width + 7) / 8);
    const uint8_t bit = static_cast<uint8_t>(1u << channel);
    for (uint32_t oy = 0; oy < g.out_height && uint64_t(oy) * g.factor < height; ++oy) {
      const unsigned char* line = image + size_t(oy) * g.factor * bpl;
      uint8_t* out = inks.data() + size_t(oy) * g.out_width;
      for (uint32_t ox = 0; ox < g.out_width; ++ox) {
        uint64_t x = uint64_t(ox) * g.factor;
        if (x < width && (line[x >> 3] >> (7 - (x & 7)) & 1)) out[ox] |= bit;
      }
    }
  }
  // Each ink is full or absent; the CMYK formula makes the colour of every combination.
  const uint8_t* in = inks.data();
  for (uint32_t oy = 0; oy < g.out_height; ++oy)
    for (uint32_t ox = 0; ox < g.out_width; ++ox, ++in) {
      uint8_t px[4];
      for (int ch = 0; ch < 4; ++ch) px[ch] = (*in >> ch & 1) ? 255 : 0;
      canvas->set_out(ox, oy, px);
    }
  return 0;
}

// ---- ZX pages --------------------------------------------------------------------------------

int decode_zx(ZxDoc& doc, const ZxObject* page, const PageInfo& info, PageCanvas* canvas,
              FILE* msg, std::string* err) {
  std::vector<const ZxObject*> chunks;
  collect(page, zjs::ZX_DATA, &chunks);
  FdSource src(doc.fd());
  ZxParams p;
  p.width = info.width;
  p.height = info.height;
  p.bytes_per_pixel = info.bytes_per_pixel;
  p.format = info.format;
  p.copies = info.marker_value;
  ZxRenderer zx(&src, p, canvas, msg);
  size_t next = 0;
  for (uint32_t r = 0; r < info.height; ++r) {
    int rc = zx.render_row(r);
    while (rc == kZxNeedData && next < chunks.size()) {
      zx.add_data(chunks[next]->payload_offset, chunks[next]->payload_len);
      ++next;
      rc = zx.render_row(r);
    }
    if (rc == kZxNeedData) return 0;  // the data end here; the rest of the page stays white
    if (rc < 0) {
      *err = zx.error();
      return rc;
    }
    // Rows the commands already passed need no more questions.
    r = std::max(r, zx.cursor_row() > 0 ? zx.cursor_row() - 1 : 0);
  }
  return 0;
}

}  // namespace

int plane_channel(uint32_t plane) {
  switch (plane) {
    case 1: return 0;
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    default: return -1;
  }
}

bool page_info(ZxDoc& doc, const ZxObject* page, PageInfo* info, std::string* err) {
  *info = PageInfo();
  const ZxObject* image = first_child(page);
  info->marker_value = get_attr(page, zjs::ZJI_COPIES, 1);
  std::vector<const ZxObject*> groups;
  if (image != nullptr && image->kind == static_cast<int>(zjs::ZX_START)) {
    info->kind = PageKind::kZx;
    info->width = get_attr(page, kAttrWidth, 0);
    info->height = get_attr(page, kAttrHeight, 0);
    info->bytes_per_pixel = get_attr(image, kAttrBpp, 4);
    info->format = get_attr(image, kAttrFormat, 0);
    info->marker_value = get_attr(image, kAttrCopies, 1);
    uint32_t version = get_attr(image, kAttrVersion, 1);
    if (version != 1) {
      *err = "unknown page-data version " + std::to_string(version);
      info->kind = PageKind::kUnknown;
      return false;
    }
  } else if (collect(page, zjs::JBIG_BIH, &groups), !groups.empty()) {
    unsigned char bih[20];
    info->kind = PageKind::kJbig;
    info->format = kFormatCmyk;
    info->bytes_per_pixel = 4;
    if (!read_bih(doc, groups.front(), bih)) {
      *err = "JBIG plane without a complete header";
      return false;
    }
    info->width = val32(bih + 4);
    info->height = val32(bih + 8);
  } else {
    info->width = get_attr(page, kAttrWidth, 0);
    info->height = get_attr(page, kAttrHeight, 0);
    *err = image == nullptr ? "page has no image" : std::string("no decoder for ") + zjs::chunk_type_name(static_cast<uint32_t>(image->kind)) + " pages";
    return false;
  }
  if (info->width == 0 || info->height == 0 || info->width > kMaxPageWidth ||
      info->height > kMaxPageHeight) {
    *err = "page size " + std::to_string(info->width) + " x " + std::to_string(info->height) +
           " out of range";
    return false;
  }
  return true;
}

int decode_page(ZxDoc& doc, const ZxObject* page, const PageInfo& info, PageCanvas* canvas,
                FILE* msg, std::string* err) {
  switch (info.kind) {
    case PageKind::kZx: return decode_zx(doc, page, info, canvas, msg, err);
    case PageKind::kJbig: return decode_jbig(doc, page, canvas, err);
    default: *err = "no decoder for this page"; return -1;
  }
}

}  // namespace thumbs
