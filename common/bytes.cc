#include "common/bytes.h"

uint32_t char2val(const unsigned char* bytes, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n && i < 4; ++i) v = (v << 8) | bytes[i];
  return v;
}

void write32(uint32_t value, unsigned char* bytes) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}
