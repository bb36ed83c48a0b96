#include "library/marker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/bytes.h"

namespace library {

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

}  // namespace library

namespace library {

int read_1_byte(FILE* f, int* error) {
  const int c = std::getc(f);
  if (c == EOF) {
    *error = kJpegInvalid;
    return 0;
  }
  return c;
}

int read_2_bytes(FILE* f, int* error) {
  const int hi = read_1_byte(f, error);
  const int lo = read_1_byte(f, error);
  return *error ? 0 : (hi << 8) | lo;
}

int first_marker(FILE* f, int* error) {
  const int a = read_1_byte(f, error);
  const int b = read_1_byte(f, error);
  if (*error || a != 0xFF || b != 0xD8) {
    *error = kJpegInvalid;
    return 0;
  }
  return b;
}

int next_marker(FILE* f, int* error) {
  int c = read_1_byte(f, error);
  while (!*error && c != 0xFF) c = read_1_byte(f, error);
  while (!*error && c == 0xFF) c = read_1_byte(f, error);
  return *error ? 0 : c;
}

// The segment length that follows a marker code, its own two bytes included; 0 and the error
// set when it is below 2.
static int segment_length(FILE* f, int* error) {
  const int len = read_2_bytes(f, error);
  if (!*error && len < 2) *error = kJpegInvalid;
  return *error ? 0 : len;
}

void skip_variable(FILE* f, int* error) {
  int left = segment_length(f, error) - 2;
  while (!*error && left-- > 0) read_1_byte(f, error);
}

void process_APP9(FILE* f, tavu_data* d, int* error) {
  const int len = segment_length(f, error);
  if (*error) return;
  d->present = 1;
  // Only the payload's first 38 bytes fit the record; the rest is read past, not stored.
  uint8_t payload[kMarkerPayloadSize] = {};
  const size_t n = static_cast<size_t>(len - 2);
  for (size_t i = 0; i < n && !*error; ++i) {
    const int c = read_1_byte(f, error);
    if (i < kMarkerPayloadSize) payload[i] = static_cast<uint8_t>(c);
  }
  if (*error) return;
  *d = decode_marker_payload(payload, std::min(n, kMarkerPayloadSize));
}

std::optional<tavu_data> get_tavu_data(FILE* f, int* error) {
  *error = kJpegOk;
  first_marker(f, error);
  while (!*error) {
    const int code = next_marker(f, error);
    if (*error) break;
    if (code == kMarkerCode) {
      tavu_data d;
      process_APP9(f, &d, error);
      if (*error) break;
      return d;
    }
    skip_variable(f, error);
  }
  return std::nullopt;
}

std::optional<tavu_data> jpeg_get_data(const std::string& path, int* error) {
  // Opened without blocking and walked only when it is a regular file: a FIFO under a
  // thumbnail's name from a copied set would otherwise stall the whole import.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = kJpegMissing;
    return std::nullopt;
  }
  struct stat st;
  FILE* f = nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !(f = ::fdopen(fd, "rb"))) {
    ::close(fd);
    *error = kJpegInvalid;
    return std::nullopt;
  }
  std::optional<tavu_data> d = get_tavu_data(f, error);
  std::fclose(f);
  return d;
}

}  // namespace library
