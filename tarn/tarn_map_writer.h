// tarn_map_writer - builds TARN map files from a list of IPv4 addresses and CIDR blocks.
//
// A TARN map is a sparse three-level radix structure: a root table of 256 little-endian
// words indexed by the first octet, per-/8 tables of 256 words indexed by the second octet,
// and per-/16 bitmaps of 65,536 bits (most significant bit first) indexed by the last two
// octets. A table word of 0 lists nothing under its prefix, 0xFFFFFFFF lists everything,
// any other value is the absolute offset of the next level. The builder collapses a bitmap
// that is all set, and a /8 whose /16s are all listed, into 0xFFFFFFFF words, so a map holds
// only the tables and bitmaps it needs.
//
// Exports: tarn_block, tarn_parse_block, tarn_map_builder, tarn_write_map_file,
// tarn_mkmap_run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// An address block: its first address in host byte order and its prefix length (0-32).
struct tarn_block {
  std::uint32_t first;
  unsigned prefix;
};

// tarn_parse_block - parse "a.b.c.d" or "a.b.c.d/n" (decimal octets, no host bits set
// below the prefix); false for anything else.
bool tarn_parse_block(std::string_view text, tarn_block* block);

// Collects blocks and lays them out as the bytes of a map file.
class tarn_map_builder {
 public:
  tarn_map_builder();

  // add - list every address of the block.
  void add(const tarn_block& block);

  // serialize - the map file's bytes.
  std::vector<unsigned char> serialize() const;

 private:
  struct slash16 {
    bool full = false;
    std::vector<unsigned char> bitmap;  // 8192 bytes once any address is listed
  };
  struct slash8 {
    bool full = false;
    std::map<unsigned, slash16> children;  // by second octet
  };

  void add_slash16_range(unsigned a, unsigned b_first, unsigned b_last);
  void add_addresses(unsigned a, unsigned b, unsigned low_first, unsigned low_last);

  std::vector<slash8> roots_;
};

// tarn_write_map_file - write bytes to path through a temporary file renamed into place, so
// a reader sees the old map or the new one, never a partial file. On failure the reason is
// put in error and path is left untouched.
bool tarn_write_map_file(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string* error);

// tarn_mkmap_run - the tarn-mkmap tool: read one address or block per line from input (blank
// lines and lines starting with "#" are skipped, surrounding white space ignored), write the
// map to output_path. Problems go to errors; returns the exit status (0 or 1).
int tarn_mkmap_run(std::FILE* input, const std::string& output_path, std::FILE* errors);

}  // namespace korvex
