#include "HostAddress.h"

#include <gtest/gtest.h>

TEST(HostAddress, MulticastRangeIsClassD) {
  EXPECT_TRUE(THostAddress("239.255.255.255").IsMulticast());
  EXPECT_TRUE(THostAddress("224.0.0.0").IsMulticast());
  EXPECT_FALSE(THostAddress("240.0.0.1").IsMulticast());
  EXPECT_FALSE(THostAddress("223.255.255.255").IsMulticast());
  EXPECT_FALSE(THostAddress().IsMulticast());
}

TEST(HostAddress, UnparsableTextIsNullAndPrintsEmpty) {
  THostAddress a("not an address");
  EXPECT_TRUE(a.IsNull());
  EXPECT_EQ(a.ToString(), "");
  EXPECT_EQ(a.ToIp4Host(), 0u);
  EXPECT_EQ(THostAddress("10.1.2.3").ToString(), "10.1.2.3");
}

TEST(HostAddress, ByteOrdersAndSpecialAddresses) {
  THostAddress a(in_host_addr(0xC0A80001));
  EXPECT_EQ(a.ToString(), "192.168.0.1");
  const uint8_t bytes[4] = {192, 168, 0, 1};
  EXPECT_EQ(THostAddress(bytes), a);
  EXPECT_EQ(THostAddress(THostAddress::Any).ToString(), "0.0.0.0");
  EXPECT_FALSE(THostAddress(THostAddress::Any).IsNull());
  EXPECT_NE(THostAddress(THostAddress::Any), THostAddress());
  EXPECT_EQ(THostAddress(THostAddress::Broadcast).ToString(), "255.255.255.255");
  EXPECT_EQ((a & THostAddress("255.255.0.0")).ToString(), "192.168.0.0");
  sockaddr_in sa;
  a.ToSockAddr(reinterpret_cast<sockaddr*>(&sa), 9001);
  EXPECT_EQ(ntohs(sa.sin_port), 9001);
  EXPECT_EQ(THostAddress(reinterpret_cast<sockaddr*>(&sa)), a);
  sa.sin_family = AF_INET6;
  EXPECT_TRUE(THostAddress(reinterpret_cast<sockaddr*>(&sa)).IsNull());
}
