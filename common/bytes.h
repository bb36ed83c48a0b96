// Byte-order helpers for the appliance's binary formats: job streams and captures are
// big-endian, the queue and cache records little-endian. Bytes are always taken as unsigned.
#pragma once
#include <cstddef>
#include <cstdint>

// n-byte unsigned big-endian value (n at most 4).
uint32_t char2val(const unsigned char* bytes, int n);
// Stores a 32-bit value most significant byte first.
void write32(uint32_t value, unsigned char* bytes);
inline uint32_t val32(const unsigned char* b) { return char2val(b, 4); }
inline uint16_t val16(const unsigned char* b) { return static_cast<uint16_t>(char2val(b, 2)); }

namespace ld {
inline void put_be16(uint16_t v, unsigned char* b) {
  b[0] = static_cast<unsigned char>(v >> 8);
  b[1] = static_cast<unsigned char>(v);
}
inline uint32_t get_le32(const unsigned char* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
inline uint16_t get_le16(const unsigned char* b) { return uint16_t(b[0] | b[1] << 8); }
inline void put_le32(uint32_t v, unsigned char* b) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void put_le16(uint16_t v, unsigned char* b) {
  b[0] = static_cast<unsigned char>(v);
  b[1] = static_cast<unsigned char>(v >> 8);
}
// Signed 32-bit record fields, two's complement, least significant byte first; value first
// like the unsigned ones, so no caller has its own pair with the arguments the other way round.
inline int32_t get_le_i32(const unsigned char* b) { return static_cast<int32_t>(get_le32(b)); }
inline void put_le_i32(int32_t v, unsigned char* b) { put_le32(static_cast<uint32_t>(v), b); }
}  // namespace ld
