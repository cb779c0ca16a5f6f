// ip_entry_can_match: which IP-list entries the matcher can ever find equal to a peer's
// address, which always arrives as a canonical dotted quad.
#include <gtest/gtest.h>

#include "lists/list_match.h"

namespace korvex {
namespace {

TEST(IpEntryCanMatch, OnlyCanonicalDottedQuads) {
  EXPECT_TRUE(ip_entry_can_match("192.0.2.1"));
  EXPECT_TRUE(ip_entry_can_match("255.255.255.255"));
  EXPECT_TRUE(ip_entry_can_match("0.0.0.0"));
  // Accepted by inet_aton, so taken for dotted quads, yet never equal to a peer's address.
  EXPECT_FALSE(ip_entry_can_match("192.0.2.1 "));
  EXPECT_FALSE(ip_entry_can_match("192.0.2.1 # office"));
  EXPECT_FALSE(ip_entry_can_match("192.0.2.1\r"));
  EXPECT_FALSE(ip_entry_can_match("010.0.0.1"));
  EXPECT_FALSE(ip_entry_can_match("0x7f.0.0.1"));
  // Not dotted quads at all.
  EXPECT_FALSE(ip_entry_can_match("203.0.113.*"));
  EXPECT_TRUE(ip_entry_can_match("198.51.100.0/24"));
  EXPECT_TRUE(ip_entry_can_match("2001:db8::/32"));
  EXPECT_TRUE(ip_entry_can_match("2001:DB8::25"));
  EXPECT_FALSE(ip_entry_can_match("10.1"));
  EXPECT_FALSE(ip_entry_can_match("192.0.2.256"));
  EXPECT_FALSE(ip_entry_can_match("not-an-ip"));
  EXPECT_FALSE(ip_entry_can_match(""));
}

}  // namespace
}  // namespace korvex
