#include "upload/marker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"

namespace upload {

std::array<uint8_t, kMarkerPayloadSize> encode_marker_payload(int page, int pages, uint32_t value) {
  std::array<uint8_t, kMarkerPayloadSize> p{};
  char text[kMarkerTextSize] = {};
  std::snprintf(text, sizeof text, "TAVU page %d of %d", page, pages);
  std::memcpy(p.data(), text, sizeof text);
  ld::put_le16(static_cast<uint16_t>(pages), &p[kMarkerPagesAt]);
  ld::put_le16(static_cast<uint16_t>(page), &p[kMarkerPageAt]);
  ld::put_le16(static_cast<uint16_t>(value), &p[kMarkerValueAt]);
  return p;
}

std::array<uint8_t, kMarkerSegmentSize> marker_segment(int page, int pages, uint32_t value) {
  std::array<uint8_t, kMarkerSegmentSize> s{};
  s[0] = 0xFF;
  s[1] = kMarkerCode;
  ld::put_be16(static_cast<uint16_t>(kMarkerSegmentSize - 2), &s[2]);
  auto payload = encode_marker_payload(page, pages, value);
  std::copy(payload.begin(), payload.end(), s.begin() + 4);
  return s;
}

tavu_data decode_marker_payload(const uint8_t* payload, size_t len) {
  uint8_t p[kMarkerPayloadSize] = {};
  if (len > 0) std::memcpy(p, payload, std::min(len, kMarkerPayloadSize));
  tavu_data d;
  d.text.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), kMarkerTextSize));
  d.pages = ld::get_le16(p + kMarkerPagesAt);
  d.page = ld::get_le16(p + kMarkerPageAt);
  d.value = ld::get_le16(p + kMarkerValueAt);
  d.present = 1;
  return d;
}

}  // namespace upload
