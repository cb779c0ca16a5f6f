// content_digest - a 64-bit digest of a file's bytes (the xxHash64 algorithm, seed 0), for
// telling whether a file still holds what something was made from. It is fast (eight bytes a
// step) and well mixed, but not cryptographic: it finds changes, not forgeries.
//
// Exports: content_digest.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvex {

// content_digest - the digest of bytes.
std::uint64_t content_digest(std::string_view bytes);

}  // namespace korvex
