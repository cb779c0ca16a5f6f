// tarn_map_writer - builds TARN map files from addresses and CIDR blocks.
//
// Exports: tarn_parse_block, tarn_map_builder, tarn_write_map_file, tarn_mkmap_run.

#include "tarn/tarn_map_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/file_io.h"

namespace korvex {
namespace {

constexpr std::uint32_t kAllListed = 0xFFFFFFFFu;
constexpr std::size_t kTableBytes = 1024;
constexpr std::size_t kBitmapBytes = 8192;

bool parse_decimal(std::string_view text, unsigned limit, unsigned* value) {
  if (text.empty() || text.size() > 3) return false;
  unsigned parsed = 0;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (status != std::errc() || end != text.data() + text.size() || parsed > limit) return false;
  *value = parsed;
  return true;
}

bool parse_address(std::string_view text, std::uint32_t* address) {
  std::uint32_t result = 0;
  for (int octet = 0; octet < 4; ++octet) {
    const std::size_t dot = text.find('.');
    if ((octet < 3) == (dot == std::string_view::npos)) return false;
    unsigned value = 0;
    if (!parse_decimal(text.substr(0, dot), 255, &value)) return false;
    result = (result << 8) | value;
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  *address = result;
  return true;
}

void put_word(std::vector<unsigned char>* bytes, std::size_t offset, std::uint32_t word) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<unsigned char>(word >> (8 * i));
}

std::string_view trimmed(std::string_view text) {
  const char* blanks = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

bool tarn_parse_block(std::string_view text, tarn_block* block) {
  const std::size_t slash = text.find('/');
  unsigned prefix = 32;
  if (slash != std::string_view::npos && !parse_decimal(text.substr(slash + 1), 32, &prefix)) {
    return false;
  }
  std::uint32_t address = 0;
  if (!parse_address(text.substr(0, slash), &address)) return false;
  const std::uint32_t host_mask = prefix == 0 ? kAllListed : (1u << (32 - prefix)) - 1;
  // A typo such as 10.1.2.3/8 must not silently list the whole /8.
  if ((address & host_mask) != 0) return false;
  *block = {address, prefix};
  return true;
}

tarn_map_builder::tarn_map_builder() : roots_(256) {}

void tarn_map_builder::add(const tarn_block& block) {
  const std::uint32_t last =
      block.first | (block.prefix == 0 ? kAllListed : (1u << (32 - block.prefix)) - 1);
  const unsigned a_first = block.first >> 24;
  if (block.prefix <= 8) {
    for (unsigned a = a_first; a <= (last >> 24); ++a) {
      roots_[a].full = true;
      roots_[a].children.clear();
    }
    return;
  }
  const unsigned b_first = (block.first >> 16) & 0xFF;
  if (block.prefix <= 16) {
    add_slash16_range(a_first, b_first, (last >> 16) & 0xFF);
    return;
  }
  add_addresses(a_first, b_first, block.first & 0xFFFF, last & 0xFFFF);
}

void tarn_map_builder::add_slash16_range(unsigned a, unsigned b_first, unsigned b_last) {
  if (roots_[a].full) return;
  for (unsigned b = b_first; b <= b_last; ++b) {
    slash16& child = roots_[a].children[b];
    child.full = true;
    child.bitmap.clear();
  }
}

void tarn_map_builder::add_addresses(unsigned a, unsigned b, unsigned low_first,
                                     unsigned low_last) {
  if (roots_[a].full) return;
  slash16& child = roots_[a].children[b];
  if (child.full) return;
  child.bitmap.resize(kBitmapBytes, 0);
  for (unsigned low = low_first; low <= low_last; ++low) {
    child.bitmap[low / 8] |= static_cast<unsigned char>(0x80u >> (low % 8));
  }
}

std::vector<unsigned char> tarn_map_builder::serialize() const {
  const auto is_full = [](const slash16& child) {
    return child.full || std::all_of(child.bitmap.begin(), child.bitmap.end(),
                                     [](unsigned char byte) { return byte == 0xFF; });
  };
  std::vector<unsigned char> bytes(kTableBytes, 0);
  for (std::size_t a = 0; a < 256; ++a) {
    const slash8& root = roots_[a];
    const bool all_full = root.children.size() == 256 &&
                          std::all_of(root.children.begin(), root.children.end(),
                                      [&](const auto& entry) { return is_full(entry.second); });
    if (root.full || all_full) {
      put_word(&bytes, a * 4, kAllListed);
      continue;
    }
    if (root.children.empty()) continue;
    const std::size_t table = bytes.size();
    put_word(&bytes, a * 4, static_cast<std::uint32_t>(table));
    bytes.resize(table + kTableBytes, 0);
    for (const auto& [b, child] : root.children) {
      if (is_full(child)) {
        put_word(&bytes, table + std::size_t{b} * 4, kAllListed);
        continue;
      }
      put_word(&bytes, table + std::size_t{b} * 4, static_cast<std::uint32_t>(bytes.size()));
      bytes.insert(bytes.end(), child.bitmap.begin(), child.bitmap.end());
    }
  }
  return bytes;
}

bool tarn_write_map_file(const std::string& path, const std::vector<unsigned char>& bytes,
                         std::string* error) {
  replace_options options;
  options.temporary = path + ".tmp";
  const replace_outcome outcome = replace_file(
      path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), 0644,
      options);
  switch (outcome.failed) {
    case replace_step::none:
      return true;
    case replace_step::create:
      *error = "cannot create " + outcome.temporary + ": " + outcome.cause();
      return false;
    case replace_step::write:
      *error = "cannot write " + outcome.temporary + ": " + outcome.cause();
      return false;
    case replace_step::sync:
    case replace_step::close:
    case replace_step::rename:
    case replace_step::sync_directory:
      break;
  }
  *error = "cannot install " + path + ": " + outcome.cause();
  return false;
}

int tarn_mkmap_run(std::FILE* input, const std::string& output_path, std::FILE* errors) {
  tarn_map_builder builder;
  char* line = nullptr;
  std::size_t capacity = 0;
  int line_number = 0;
  bool input_ok = true;
  ssize_t length = 0;
  while ((length = ::getline(&line, &capacity, input)) >= 0) {
    ++line_number;
    const std::string_view entry = trimmed(std::string_view(line, static_cast<size_t>(length)));
    if (entry.empty() || entry.front() == '#') continue;
    tarn_block block{};
    if (!tarn_parse_block(entry, &block)) {
      (void)std::fprintf(errors, "tarn-mkmap: line %d: not an IPv4 address or CIDR block: %.*s\n",
                         line_number, static_cast<int>(entry.size()), entry.data());
      input_ok = false;
      continue;
    }
    builder.add(block);
  }
  std::free(line);
  if (std::ferror(input)) {
    (void)std::fprintf(errors, "tarn-mkmap: cannot read input: %s\n", std::strerror(errno));
    return 1;
  }
  if (!input_ok) return 1;
  std::string error;
  if (!tarn_write_map_file(output_path, builder.serialize(), &error)) {
    (void)std::fprintf(errors, "tarn-mkmap: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace korvex
