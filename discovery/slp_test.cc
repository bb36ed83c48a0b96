#include "discovery/slp.h"

#include <gtest/gtest.h>

#include <string>

namespace discovery {
namespace {

TEST(SlpRequest, IsTheFiftySixByteAttributeRequest) {
  const std::string expected("\x02\x06\x00\x00\x38\x00\x00\x00\x00\x00\x20\x10"
                             "\x00\x02"
                             "en"
                             "\x00\x00"
                             "\x00\x17"
                             "service:printer:raw-tcp"
                             "\x00\x07"
                             "DEFAULT"
                             "\x00\x00"
                             "\x00\x00",
                             56);
  auto req = set_slp_req();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(req.data()), req.size()), expected);
}

TEST(SlpReply, NeedsTheLinkNetworkOurTransactionAndAVendorWordInTheAttributes) {
  // Version 2, function 7 (AttrRply), transaction id 0x2010 at bytes 10 and 11.
  auto header = [](char version, char function, char xid_hi, char xid_lo) {
    std::string h(20, '\0');
    h[0] = version;
    h[1] = function;
    h[10] = xid_hi;
    h[11] = xid_lo;
    return h;
  };
  const std::string head = header(2, 7, 0x20, 0x10);
  struct {
    Ip4 source;
    std::string datagram;
    bool taken;
  } cases[] = {
      {{172, 31, 31, 253}, head + "(x-maker=Velkoran)", true},
      {{172, 16, 0, 9}, head + "(x-maker=Trundell)", true},
      {{192, 168, 1, 20}, head + "(x-maker=Velkoran)", false},
      {{172, 31, 31, 253}, head + "(x-maker=Other)", false},
      {{172, 31, 31, 253}, "Velkoran" + std::string(12, '\0'), false},  // in the header only
      {{172, 31, 31, 253}, "", false},
      {{172, 31, 31, 253}, header(2, 2, 0x20, 0x10) + "(x-maker=Velkoran)", false},  // SrvRqst
      {{172, 31, 31, 253}, header(2, 8, 0x20, 0x10) + "(x-maker=Velkoran)", false},  // SrvRply
      {{172, 31, 31, 253}, header(2, 11, 0x20, 0x10) + "(x-maker=Velkoran)", false}, // DAAdvert
      {{172, 31, 31, 253}, header(2, 7, 0x20, 0x11) + "(x-maker=Velkoran)", false},  // another XID
      {{172, 31, 31, 253}, header(2, 7, 0x10, 0x20) + "(x-maker=Velkoran)", false},
      {{172, 31, 31, 253}, header(1, 7, 0x20, 0x10) + "(x-maker=Velkoran)", false},  // version 1
  };
  for (const auto& c : cases)
    EXPECT_EQ(slp_reply_from_controller(c.source, c.datagram), c.taken) << dotted(c.source);
}

}  // namespace
}  // namespace discovery
