// ip_address - address and range parsing and comparison. See ip_address.h.
#include "support/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace korvex {

namespace {

constexpr int kIpv4Bits = 32;
constexpr int kIpv6Bits = 128;
// The ten zero bytes and two 0xff bytes that open an IPv4-mapped IPv6 address.
constexpr std::size_t kMappedPrefixBytes = 12;
constexpr int kMappedPrefixBits = 96;

// The C library reads up to the first NUL: a text holding one would be judged by its start.
std::optional<std::string> c_text(std::string_view text) {
  if (text.empty() || text.find('\0') != std::string_view::npos || text.size() > INET6_ADDRSTRLEN) {
    return std::nullopt;
  }
  return std::string(text);
}

bool is_mapped(const std::array<std::uint8_t, 16>& bytes) {
  return std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
         bytes[10] == 0xff && bytes[11] == 0xff;
}

// The IPv4 address a mapped address carries.
ip_address carried_ipv4(const ip_address& mapped) {
  ip_address address;
  address.family = AF_INET;
  std::copy(mapped.bytes.begin() + kMappedPrefixBytes, mapped.bytes.end(), address.bytes.begin());
  return address;
}

// The IPv6 address exactly as written, mapped or not.
std::optional<ip_address> parse_raw_ipv6(std::string_view text) {
  const std::optional<std::string> owned = c_text(text);
  if (!owned || owned->find(':') == std::string::npos) return std::nullopt;
  ip_address address;
  address.family = AF_INET6;
  if (inet_pton(AF_INET6, owned->c_str(), address.bytes.data()) != 1) return std::nullopt;
  return address;
}

int family_bits(int family) { return family == AF_INET ? kIpv4Bits : kIpv6Bits; }

// Whether the first bits of the two byte strings agree.
bool same_leading_bits(const std::array<std::uint8_t, 16>& left,
                       const std::array<std::uint8_t, 16>& right, int bits) {
  const auto whole = static_cast<std::size_t>(bits / 8);
  if (!std::equal(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(whole), right.begin())) {
    return false;
  }
  const int rest = bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xff << (8 - rest));
  return (left[whole] & mask) == (right[whole] & mask);
}

// The host bits below the prefix are all clear.
bool host_bits_clear(const ip_address& network, int prefix) {
  const int width = family_bits(network.family);
  for (int bit = prefix; bit < width; ++bit) {
    const auto byte = static_cast<std::size_t>(bit / 8);
    if ((network.bytes[byte] & (0x80 >> (bit % 8))) != 0) return false;
  }
  return true;
}

}  // namespace

std::optional<ip_address> parse_ipv6_address(std::string_view text) {
  std::optional<ip_address> address = parse_raw_ipv6(text);
  if (address && is_mapped(address->bytes)) return carried_ipv4(*address);
  return address;
}

std::optional<ip_address> parse_ip_address(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return parse_ipv6_address(text);
  const std::optional<std::string> owned = c_text(text);
  if (!owned) return std::nullopt;
  ip_address address;
  address.family = AF_INET;
  if (inet_pton(AF_INET, owned->c_str(), address.bytes.data()) != 1) return std::nullopt;
  return address;
}

bool is_ipv6_address(std::string_view text) {
  const std::optional<ip_address> address = parse_ipv6_address(text);
  return address && address->family == AF_INET6;
}

std::optional<std::string> unmapped_ipv4(std::string_view text) {
  const std::optional<ip_address> raw = parse_raw_ipv6(text);
  if (!raw || !is_mapped(raw->bytes)) return std::nullopt;
  char dotted[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, raw->bytes.data() + kMappedPrefixBytes, dotted, sizeof dotted) ==
      nullptr) {
    return std::nullopt;
  }
  return std::string(dotted);
}

std::optional<ip_range> parse_ip_range(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view digits = text.substr(slash + 1);
  int prefix = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      digits.size() > 3) {
    return std::nullopt;
  }
  const std::string_view written = text.substr(0, slash);
  std::optional<ip_address> network = written.find(':') != std::string_view::npos
                                          ? parse_raw_ipv6(written)
                                          : parse_ip_address(written);
  if (!network || prefix < 0 || prefix > family_bits(network->family)) return std::nullopt;
  if (network->family == AF_INET6 && is_mapped(network->bytes) && prefix >= kMappedPrefixBits) {
    network = carried_ipv4(*network);
    prefix -= kMappedPrefixBits;
  }
  if (!host_bits_clear(*network, prefix)) return std::nullopt;
  return ip_range{*network, prefix};
}

bool range_contains(const ip_range& range, const ip_address& address) {
  return range.network.family == address.family &&
         same_leading_bits(range.network.bytes, address.bytes, range.prefix);
}

}  // namespace korvex
