#include "discovery/address.h"

#include <cstdio>

#include "common/hexcode.h"

namespace discovery {

namespace {

// 172.31.31.x holds the default addresses (gateway .1, appliance .33, controller .253): a
// derived pair there is kept in the upper half of each 64-block.
void keep_off_defaults(Ip4* a) {
  if ((*a)[1] == 31 && (*a)[2] == 31) (*a)[3] |= 32;
}

}  // namespace

std::string dotted(const Ip4& a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  return buf;
}

uint32_t as_number(const Ip4& a) {
  return (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
}

bool in_link_network(const Ip4& a) { return a[0] == 172 && a[1] >= 16 && a[1] <= 31; }

std::optional<Ip4> read_dotted(std::string_view s) {
  Ip4 out{};
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= s.size() || s[i] != '.') return std::nullopt;
      ++i;
    }
    int value = 0, digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && digits < 4) {
      value = value * 10 + (s[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    out[part] = static_cast<uint8_t>(value);
  }
  if (i < s.size() && s[i] >= '0' && s[i] <= '9') return std::nullopt;
  return out;
}

std::optional<Derived> derive_ui_address(std::string_view mac, const Ip4& external) {
  // The last six hex digits, last one first.
  int digits[6];
  int found = 0;
  for (size_t i = mac.size(); i > 0 && found < 6; --i) {
    int v = ld::hex_digit(mac[i - 1]);
    if (v >= 0) digits[found++] = v;
  }
  if (found < 6) return std::nullopt;
  auto octet = [&](int k) { return static_cast<uint8_t>(digits[2 * k + 1] * 16 + digits[2 * k]); };
  Derived d;
  d.ui = kDefaultUi;
  d.ui[1] = static_cast<uint8_t>(16 + octet(0) % 16);
  d.ui[2] = octet(1);
  d.ui[3] = static_cast<uint8_t>(octet(2) | 1);
  if (d.ui[3] == 255) d.ui[3] = 253;
  keep_off_defaults(&d.ui);
  if (d.ui[0] == external[0] && d.ui[1] == external[1] && d.ui[2] == external[2]) {
    d.subnet_changed = true;
    d.ui[1] = static_cast<uint8_t>(16 + (d.ui[1] + 1) % 16);
  }
  // Again after the subnet change: that change can land on 172.31.31.
  keep_off_defaults(&d.ui);
  return d;
}

Ip4 controller_of(const Ip4& ui) {
  Ip4 k = ui;
  k[3] = static_cast<uint8_t>(ui[3] + 1);
  return k;
}

Ip4 next_candidate(const Ip4& ui) {
  Ip4 n = ui;
  n[3] = static_cast<uint8_t>(n[3] + 2);
  if (n[3] == 255) n[3] = 1;
  keep_off_defaults(&n);
  return n;
}

}  // namespace discovery
