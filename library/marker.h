// The thumbnail marker: the APP9 segment that the thumbnail maker writes into every thumbnail
// right after the JFIF segment, and that the upload check and the job browser look for before
// they trust a thumbnail. Its layout is defined here once, for the writer and the readers.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace library {

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

// Why the marker reader found no marker (`jpeg_error`).
enum JpegError { kJpegOk = 0, kJpegInvalid = 1, kJpegMissing = -1 };

// The marker of a thumbnail file: the record when the file holds an APP9 segment before its
// image data, otherwise none with *error kJpegMissing (the file cannot be opened) or
// kJpegInvalid (not a JPEG, cut short, a segment length below 2, or no APP9 segment). Only the
// segment's presence is judged, not its text: a segment longer than 38 payload bytes gives the
// first 38.
std::optional<tavu_data> jpeg_get_data(const std::string& path, int* error);
// The walk over an open file, from its start of image to the first APP9 segment.
std::optional<tavu_data> get_tavu_data(FILE* f, int* error);

// The steps of the walk: each sets *error to kJpegInvalid when the file ends or the structure
// is bad, and then returns 0 (the caller stops at the first error).
int read_1_byte(FILE* f, int* error);
int read_2_bytes(FILE* f, int* error);  // big-endian
// The start of image (FF D8) that must open the file; the marker code or 0.
int first_marker(FILE* f, int* error);
// The next marker code: bytes up to an FF and any FF fill bytes after it are passed over.
int next_marker(FILE* f, int* error);
// Steps over a segment with a length field.
void skip_variable(FILE* f, int* error);
// Reads an APP9 segment into *d (present set once its length is read).
void process_APP9(FILE* f, tavu_data* d, int* error);

}  // namespace library
