// Addresses of both families, IPv4-mapped addresses and CIDR ranges.
#include "support/ip_address.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace korvex {
namespace {

TEST(IpAddress, SpellingsOfOneAddressAreEqualAndMappedAddressesAreTheirIpv4) {
  EXPECT_EQ(parse_ip_address("2001:DB8:0::25"), parse_ip_address("2001:db8::25"));
  EXPECT_EQ(parse_ip_address("0:0:0:0:0:0:0:1"), parse_ip_address("::1"));
  EXPECT_NE(parse_ip_address("2001:db8::25"), parse_ip_address("2001:db8::26"));
  EXPECT_EQ(parse_ip_address("::ffff:203.0.113.44"), parse_ip_address("203.0.113.44"));
  EXPECT_EQ(parse_ip_address("::FFFF:cb00:712c"), parse_ip_address("203.0.113.44"));
  // The compatible form (no ffff) is a plain IPv6 address, not a disguised IPv4 one.
  EXPECT_EQ(parse_ip_address("::203.0.113.44")->family, AF_INET6);
  EXPECT_EQ(parse_ip_address("203.0.113.44")->family, AF_INET);

  EXPECT_EQ(unmapped_ipv4("::ffff:203.0.113.44"), "203.0.113.44");
  EXPECT_EQ(unmapped_ipv4("0:0:0:0:0:ffff:c000:0201"), "192.0.2.1");
  EXPECT_EQ(unmapped_ipv4("2001:db8::25"), std::nullopt);
  EXPECT_EQ(unmapped_ipv4("203.0.113.44"), std::nullopt);

  EXPECT_TRUE(is_ipv6_address("::1"));
  EXPECT_FALSE(is_ipv6_address("::ffff:203.0.113.44"));
  EXPECT_FALSE(is_ipv6_address("203.0.113.44"));
  const std::vector<std::string> bad_texts = {
      "",      "2001:db8::25::1", "2001:db8::g", "::1 ",
      "1.2.3", "1.2.3.04",        "10.0.0.*",    std::string("::1\0garbage", 10)};
  for (const std::string& bad : bad_texts) {
    EXPECT_EQ(parse_ip_address(bad), std::nullopt) << bad;
  }
}

TEST(IpAddress, RangesOfBothFamiliesContainTheirAddressesOnly) {
  const auto v4 = parse_ip_range("198.51.100.0/24");
  const auto v6 = parse_ip_range("2001:DB8::/32");
  ASSERT_TRUE(v4 && v6);
  EXPECT_TRUE(range_contains(*v4, *parse_ip_address("198.51.100.255")));
  EXPECT_FALSE(range_contains(*v4, *parse_ip_address("198.51.101.0")));
  EXPECT_TRUE(range_contains(*v6, *parse_ip_address("2001:db8:ffff::25")));
  EXPECT_FALSE(range_contains(*v6, *parse_ip_address("2001:db9::")));
  // A family never matches the other, even where the bytes agree.
  EXPECT_FALSE(range_contains(*parse_ip_range("0.0.0.0/0"), *parse_ip_address("::1")));
  EXPECT_TRUE(range_contains(*parse_ip_range("::/0"), *parse_ip_address("::1")));
  EXPECT_FALSE(range_contains(*parse_ip_range("::/0"), *parse_ip_address("192.0.2.1")));
  // Prefixes that end inside a byte, and whole-address prefixes.
  EXPECT_TRUE(range_contains(*parse_ip_range("2001:db8::/31"), *parse_ip_address("2001:db9::1")));
  EXPECT_FALSE(range_contains(*parse_ip_range("2001:db8::/31"), *parse_ip_address("2001:dba::")));
  EXPECT_TRUE(range_contains(*parse_ip_range("192.0.2.7/32"), *parse_ip_address("192.0.2.7")));
  EXPECT_TRUE(range_contains(*parse_ip_range("::1/128"), *parse_ip_address("::1")));
  // A mapped range is the IPv4 range it covers.
  EXPECT_EQ(parse_ip_range("::ffff:192.0.2.0/120"), parse_ip_range("192.0.2.0/24"));

  for (const char* bad :
       {"192.0.2.1/24", "192.0.2.0/33", "2001:db8::1/32", "2001:db8::/129", "192.0.2.0/",
        "192.0.2.0/-1", "192.0.2.0/+24", "192.0.2.0/ 24", "192.0.2.0/24x", "192.0.2.0/0024",
        "192.0.2.0/24/8", "/24", "192.0.2.*/24", "2001:db8::/3 2"}) {
    EXPECT_EQ(parse_ip_range(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace korvex
