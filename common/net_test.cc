#include "common/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(ResolveHost, NumericNamesAndFamiliesEachOnce) {
  auto v4 = ld::resolve_host("127.0.0.1");
  ASSERT_EQ(v4.size(), 1u);  // one entry, not one for each socket type
  EXPECT_TRUE(v4[0].ipv4);
  EXPECT_EQ(v4[0].text, "127.0.0.1");
  EXPECT_EQ(v4[0].v4, htonl(INADDR_LOOPBACK));
  auto v6 = ld::resolve_host("::1");
  ASSERT_EQ(v6.size(), 1u);
  EXPECT_FALSE(v6[0].ipv4);
  EXPECT_EQ(v6[0].text, "::1");
  EXPECT_TRUE(ld::resolve_host("::1", true).empty());
  EXPECT_TRUE(ld::resolve_host("no-such-host.invalid").empty());
}

TEST(UdpSendTo, ADatagramArrivesWholeAndABadAddressIsSaid) {
  std::string err;
  ld::UniqueFd in = ld::udp_socket(&err);
  ASSERT_TRUE(in.valid()) << err;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(in.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(in.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
  ld::UniqueFd out = ld::udp_socket(&err);
  ASSERT_TRUE(out.valid()) << err;
  const std::string data("req\0with nul", 12);
  ASSERT_TRUE(ld::udp_send_to(out.get(), "127.0.0.1", ntohs(a.sin_port), data, &err)) << err;
  char buf[64];
  ASSERT_EQ(ld::wait_readable(in.get(), 2000), 1);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(::recv(in.get(), buf, sizeof buf, 0))), data);
  EXPECT_FALSE(ld::udp_send_to(out.get(), "239.255.255", 427, data, &err));
  EXPECT_EQ(err, "bad address 239.255.255");
}

}  // namespace
