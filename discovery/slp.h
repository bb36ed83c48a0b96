// The discovery query that finds the printer's network controller: one SLP version 2 attribute
// request for the raw-print service, and the test a reply must pass to name a controller.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "discovery/address.h"

namespace discovery {

constexpr size_t kSlpRequestSize = 56;
constexpr size_t kSlpReplyMax = 4000;

// The attribute request, byte for byte.
std::array<uint8_t, kSlpRequestSize> set_slp_req();

// A reply comes from a controller when it was sent from the link network, is an SLP version 2
// attribute reply (function 7) carrying our request's transaction id, and its attribute list
// (from byte 20 on) names one of the controller makers.
bool slp_reply_from_controller(const Ip4& source, std::string_view datagram);

}  // namespace discovery
