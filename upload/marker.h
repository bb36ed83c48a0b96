// The thumbnail marker: the APP9 segment that the thumbnail maker writes into every thumbnail
// right after the JFIF segment, and that the upload check and the job browser look for before
// they trust a thumbnail. Its layout is defined here once, for the writer and the readers.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace upload {

// The segment: FF E9, its length 40 (big-endian, the two length bytes included), then the
// 38-byte payload: the text "TAVU page %d of %d" in 30 bytes (NUL-padded), the page count, the
// page number and the copies value (16-bit little-endian each, at payload offsets 30, 32 and
// 34), two zero bytes.
constexpr uint8_t kMarkerCode = 0xE9;
constexpr size_t kMarkerPayloadSize = 38;
constexpr size_t kMarkerSegmentSize = 4 + kMarkerPayloadSize;
constexpr size_t kMarkerTextSize = 30;
constexpr size_t kMarkerPagesAt = 30, kMarkerPageAt = 32, kMarkerValueAt = 34;

// What a marker says (`tavu_data`): present is 1 once an APP9 segment was met.
struct tavu_data {
  std::string text;  // up to the first NUL of the text field
  uint16_t pages = 0;
  uint16_t page = 0;
  uint16_t value = 0;
  uint16_t present = 0;
};

std::array<uint8_t, kMarkerPayloadSize> encode_marker_payload(int page, int pages, uint32_t value);
// The whole segment, marker code and length included.
std::array<uint8_t, kMarkerSegmentSize> marker_segment(int page, int pages, uint32_t value);

// Reads a payload of `len` bytes as found in a thumbnail: a shorter payload leaves the missing
// fields 0 (a segment of length 2 still counts as present), bytes beyond 38 are not looked at.
tavu_data decode_marker_payload(const uint8_t* payload, size_t len);

}  // namespace upload
