// list_match - address and IP entry rules. See list_match.h.
#include "lists/list_match.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "support/ip_address.h"
#include "support/regex_holder.h"

namespace korvex {

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Exactly three dots and accepted by inet_aton: the only IP entries that take part.
bool is_dotted_quad(const std::string& entry) {
  if (std::count(entry.begin(), entry.end(), '.') != 3) return false;
  in_addr address{};
  return inet_aton(entry.c_str(), &address) != 0;
}

// What regcomp and regexec see of a text: everything before its first NUL.
std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

// Characters with a meaning in an extended expression beyond the dot and the asterisk. A
// line feed is kept out too: it never reaches an entry from a list file, and the direct
// path has no need to know how an expression treats it.
constexpr std::array<bool, 256> kExpressionCharacters = [] {
  std::array<bool, 256> table{};
  for (const char c : std::string_view("^$[](){}|?+\\\n"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// A table lookup: every byte of every wildcard entry of a list passes through here per run.
bool is_expression_character(char c) {
  return kExpressionCharacters[static_cast<unsigned char>(c)];
}

// A dot matches any byte; every other character itself, ignoring ASCII letter case.
bool byte_matches(char pattern, char text) {
  return pattern == '.' || ascii_lower(pattern) == ascii_lower(text);
}

// The star-free piece matches the text at offset.
bool piece_matches_at(std::string_view piece, std::string_view text, std::size_t offset) {
  if (text.size() - offset < piece.size()) return false;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    if (!byte_matches(piece[i], text[offset + i])) return false;
  }
  return true;
}

// The first offset from start at which the piece matches, or npos.
std::size_t find_piece(std::string_view piece, std::string_view text, std::size_t start) {
  for (std::size_t offset = start; offset + piece.size() <= text.size(); ++offset) {
    if (piece_matches_at(piece, text, offset)) return offset;
  }
  return std::string_view::npos;
}

}  // namespace

bool is_simple_wildcard(std::string_view entry) {
  const std::string_view seen = up_to_nul(entry);
  return std::none_of(seen.begin(), seen.end(), is_expression_character);
}

bool simple_wildcard_matches(std::string_view entry, std::string_view value) {
  std::string_view pattern = up_to_nul(entry);
  const std::string_view text = up_to_nul(value);
  // Only the start is anchored, so the pieces between asterisks can be taken greedily: the
  // first must match at the start, each later one at its earliest place after the one before.
  std::size_t star = pattern.find('*');
  std::string_view piece = pattern.substr(0, star);
  if (!piece_matches_at(piece, text, 0)) return false;
  std::size_t position = piece.size();
  while (star != std::string_view::npos) {
    pattern.remove_prefix(star + 1);
    star = pattern.find('*');
    piece = pattern.substr(0, star);
    const std::size_t found = find_piece(piece, text, position);
    if (found == std::string_view::npos) return false;
    position = found + piece.size();
  }
  return true;
}

bool equal_ignoring_case(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
}

std::string wildcard_pattern(const std::string& entry) {
  std::string pattern = "^";
  for (const char c : entry) {
    if (c == '*') {
      pattern += ".*";
    } else {
      pattern += c;
    }
  }
  return pattern;
}

bool address_entry_matches(const std::string& entry, const std::string& value) {
  if (entry.find('*') == std::string::npos) return equal_ignoring_case(entry, value);
  if (is_simple_wildcard(entry)) return simple_wildcard_matches(entry, value);
  const regex_holder pattern(wildcard_pattern(entry), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  return pattern.matches(value);
}

bool ip_entry_matches(const std::string& entry, const std::string& value) {
  // The cheap comparison first: nearly every entry of a long list differs from the value.
  if (equal_ignoring_case(entry, value) && is_dotted_quad(entry)) return true;
  // Only ranges and IPv6 entries are compared as addresses; a dotted quad is a dotted quad.
  if (entry.find_first_of("/:") == std::string::npos) return false;
  const std::optional<ip_address> peer = parse_ip_address(value);
  if (!peer) return false;
  if (entry.find('/') != std::string::npos) {
    const std::optional<ip_range> range = parse_ip_range(entry);
    return range && range_contains(*range, *peer);
  }
  return parse_ip_address(entry) == peer;
}

bool is_ip_entry(const std::string& entry) {
  return is_dotted_quad(entry) || parse_ipv6_address(entry).has_value() ||
         parse_ip_range(entry).has_value();
}

bool ip_entry_can_match(const std::string& entry) {
  // inet_aton takes octal and hexadecimal octets and stops at the first blank, so only the
  // canonical text of the address it read can ever equal a peer's address.
  if (!is_ip_entry(entry)) return false;
  in_addr address{};
  if (!is_dotted_quad(entry) || inet_aton(entry.c_str(), &address) == 0) return true;
  char canonical[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, &address, canonical, sizeof canonical) != nullptr && entry == canonical;
}

}  // namespace korvex
