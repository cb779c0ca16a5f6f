// content_digest - xxHash64 over a byte string: 32-byte stripes in four lanes, then the tail
// in 8-, 4- and 1-byte steps, then a final avalanche.

#include "support/content_digest.h"

#include <bit>
#include <cstring>

namespace korvex {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

// The digest is defined on little-endian words whatever the machine's order.
std::uint64_t word64(const char* at) {
  std::uint64_t value = 0;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

std::uint64_t word32(const char* at) {
  std::uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  return value;
}

std::uint64_t mix_lane(std::uint64_t lane, std::uint64_t input) {
  return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge_lane(std::uint64_t digest, std::uint64_t lane) {
  return (digest ^ mix_lane(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

std::uint64_t content_digest(std::string_view bytes) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  std::uint64_t digest = 0;
  if (bytes.size() >= 32) {
    std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
    for (; end - at >= 32; at += 32) {
      for (std::size_t lane = 0; lane < 4; ++lane)
        lanes[lane] = mix_lane(lanes[lane], word64(at + 8 * lane));
    }
    digest = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) +
             std::rotl(lanes[3], 18);
    for (const std::uint64_t lane : lanes) digest = merge_lane(digest, lane);
  } else {
    digest = kPrime5;
  }
  digest += bytes.size();
  for (; end - at >= 8; at += 8)
    digest = std::rotl(digest ^ mix_lane(0, word64(at)), 27) * kPrime1 + kPrime4;
  if (end - at >= 4) {
    digest = std::rotl(digest ^ (word32(at) * kPrime1), 23) * kPrime2 + kPrime3;
    at += 4;
  }
  for (; at < end; ++at) {
    digest =
        std::rotl(digest ^ (static_cast<std::uint64_t>(static_cast<unsigned char>(*at)) * kPrime5),
                  11) *
        kPrime1;
  }
  digest ^= digest >> 33;
  digest *= kPrime2;
  digest ^= digest >> 29;
  digest *= kPrime3;
  digest ^= digest >> 32;
  return digest;
}

}  // namespace korvex
