// ip_address - peer addresses of both families and CIDR ranges, compared as addresses.
//
// Front ends hand the peer over as text: plain IPv4 ("203.0.113.44"), IPv6 in any of its
// spellings ("2001:DB8:0::25" is "2001:db8::25"), or IPv4 wrapped as an IPv4-mapped IPv6
// address ("::ffff:203.0.113.44"). A mapped address is the IPv4 address it carries:
// everything that judges a peer must see one address whichever way the front end wrote it.
//
// Exports: ip_address, ip_range, parse_ip_address, parse_ipv6_address, is_ipv6_address,
// unmapped_ipv4, parse_ip_range, range_contains.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// One address in network byte order; an IPv4 address fills the first four bytes.
struct ip_address {
  int family = 0;  // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> bytes{};
  bool operator==(const ip_address&) const = default;
};

// A network: the address with all host bits clear and the prefix length (0-32 or 0-128).
struct ip_range {
  ip_address network;
  int prefix = 0;
  bool operator==(const ip_range&) const = default;
};

// parse_ip_address - a strict dotted-decimal IPv4 address or an IPv6 address; a mapped
// IPv6 address comes out as the IPv4 address it carries.
std::optional<ip_address> parse_ip_address(std::string_view text);

// parse_ipv6_address - like parse_ip_address, but only for text written as IPv6.
std::optional<ip_address> parse_ipv6_address(std::string_view text);

// is_ipv6_address - the text is an IPv6 address that does not carry an IPv4 address.
bool is_ipv6_address(std::string_view text);

// unmapped_ipv4 - the dotted-quad text of the IPv4 address an IPv4-mapped IPv6 address
// carries; nothing for any other text.
std::optional<std::string> unmapped_ipv4(std::string_view text);

// parse_ip_range - "address/prefix" with a decimal prefix up to the family's width and no
// host bit set. A mapped IPv6 range of prefix 96 or more is the IPv4 range it covers.
std::optional<ip_range> parse_ip_range(std::string_view text);

// range_contains - the address is of the range's family and inside it.
bool range_contains(const ip_range& range, const ip_address& address);

}  // namespace korvex
