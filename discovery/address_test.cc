#include "discovery/address.h"

#include <gtest/gtest.h>

namespace discovery {
namespace {

struct DeriveCase {
  const char* mac;
  Ip4 external;
  Ip4 ui;
  bool subnet_changed;
};

TEST(DeriveUiAddress, TakesTheLastThreeOctetsOfTheMacText) {
  const DeriveCase cases[] = {
      {"0050C20A0B0C", {10, 0, 0, 7}, {172, 28, 11, 11}, false},
      {"00:50:c2:0a:0b:0c", {10, 0, 0, 7}, {172, 28, 11, 11}, false},  // separators passed over
      {"0A0B0C", {0, 0, 0, 0}, {172, 28, 11, 11}, false},
      {"FE0B0C", {10, 0, 0, 7}, {172, 28, 11, 253}, false},  // 255 after the low bit: 253
      {"001F1F", {10, 0, 0, 7}, {172, 31, 31, 33}, false},   // default network: bit 32 set
      {"0A0B0C", {172, 28, 11, 9}, {172, 29, 11, 11}, true}, // matches the external network
      {"0A0B1F", {172, 31, 11, 9}, {172, 16, 11, 11}, true}, // the change wraps to 16
      {"021F1E", {172, 30, 31, 9}, {172, 31, 31, 35}, true}, // the change lands on 31/31
  };
  for (const DeriveCase& c : cases) {
    std::optional<Derived> d = derive_ui_address(c.mac, c.external);
    ASSERT_TRUE(d) << c.mac;
    EXPECT_EQ(dotted(d->ui), dotted(c.ui)) << c.mac;
    EXPECT_EQ(d->subnet_changed, c.subnet_changed) << c.mac;
  }
}

TEST(DeriveUiAddress, RefusesTextsWithFewerThanSixHexDigits) {
  for (const char* mac : {"", "0B0C", "0A:0B:0", "zzzzzzzz", "0A0B0"})
    EXPECT_FALSE(derive_ui_address(mac, Ip4{10, 0, 0, 7})) << mac;
}

TEST(NextCandidate, StepsByTwoAndKeepsThePairInRange) {
  struct {
    Ip4 ui, next;
  } cases[] = {
      {{172, 28, 11, 11}, {172, 28, 11, 13}},
      {{172, 28, 11, 253}, {172, 28, 11, 1}},   // 255 is no address: wraps to 1
      {{172, 31, 31, 253}, {172, 31, 31, 33}},  // and keeps off the default addresses
      {{172, 31, 31, 63}, {172, 31, 31, 97}},
  };
  for (const auto& c : cases) EXPECT_EQ(dotted(next_candidate(c.ui)), dotted(c.next));
  EXPECT_EQ(dotted(controller_of({172, 28, 11, 11})), "172.28.11.12");
  EXPECT_EQ(dotted(controller_of({172, 28, 11, 253})), "172.28.11.254");
}

TEST(ReadDotted, AcceptsOnlyFourNumbersUpTo255) {
  EXPECT_EQ(dotted(*read_dotted("172.31.31.253\",")), "172.31.31.253");
  for (const char* bad : {"172.31.31", "172.31.31.256", "1.2.3.1000", "-1.2.3.4", "a.b.c.d", "1..2.3"})
    EXPECT_FALSE(read_dotted(bad)) << bad;
}

TEST(LinkNetwork, Is172Slash12) {
  EXPECT_TRUE(in_link_network({172, 16, 0, 1}));
  EXPECT_TRUE(in_link_network({172, 31, 255, 255}));
  EXPECT_FALSE(in_link_network({172, 32, 0, 1}));
  EXPECT_FALSE(in_link_network({172, 15, 0, 1}));
  EXPECT_FALSE(in_link_network({192, 168, 1, 20}));
  EXPECT_EQ(as_number({172, 31, 31, 33}), 0xac1f1f21u);
}

}  // namespace
}  // namespace discovery
