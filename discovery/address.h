// Addresses on the private link between the appliance and the printer's network controller,
// and the derivation of a fresh address pair from the controller's MAC text. Pure functions:
// nothing here touches the network.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace discovery {

// An IPv4 address as four bytes, the first byte being the first number of the dotted form.
using Ip4 = std::array<uint8_t, 4>;

constexpr Ip4 kDefaultUi = {172, 31, 31, 33};
constexpr Ip4 kDefaultController = {172, 31, 31, 253};
constexpr Ip4 kLinkGateway = {172, 31, 31, 1};
constexpr Ip4 kLinkNetmask = {255, 240, 0, 0};

inline bool is_zero(const Ip4& a) { return a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0; }
std::string dotted(const Ip4& a);
// The address as one number, first byte most significant (172.31.31.33 is 0xac1f1f21), so the
// printed form reads the same on every board.
uint32_t as_number(const Ip4& a);
// 172.16.0.0/12: the network between appliance and controller.
bool in_link_network(const Ip4& a);

// Four dotted numbers at the start of `s`, each 0 to 255; anything may follow the fourth.
std::optional<Ip4> read_dotted(std::string_view s);

// The first address of a fresh pair (the appliance's; the controller takes the next one),
// from the last six hexadecimal digits of the MAC text (separators and other characters are
// passed over). `subnet_changed` tells when the pair was moved off the external network.
// Nothing when the text holds fewer than six hexadecimal digits.
struct Derived {
  Ip4 ui{};
  bool subnet_changed = false;
};
std::optional<Derived> derive_ui_address(std::string_view mac, const Ip4& external);

// The controller's address of the pair that starts at `ui`.
Ip4 controller_of(const Ip4& ui);
// The pair to try when someone answers on `ui` or its controller address.
Ip4 next_candidate(const Ip4& ui);
// How many pairs the search tries before it gives up: every odd last byte once.
constexpr int kMaxCandidates = 128;

}  // namespace discovery
