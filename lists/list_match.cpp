// list_match - address and IP entry rules. See list_match.h.
#include "lists/list_match.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace korvex {

CompiledPattern::CompiledPattern(const std::string& pattern, int flags)
    : compiled_(regcomp(&regex_, pattern.c_str(), flags) == 0) {}

CompiledPattern::~CompiledPattern() {
  if (compiled_) regfree(&regex_);
}

bool CompiledPattern::matches(const std::string& text) const {
  return compiled_ && regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
}

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Exactly three dots and accepted by inet_aton: the only IP entries that take part.
bool is_dotted_quad(const std::string& entry) {
  if (std::count(entry.begin(), entry.end(), '.') != 3) return false;
  in_addr address{};
  return inet_aton(entry.c_str(), &address) != 0;
}

}  // namespace

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
  const CompiledPattern pattern(wildcard_pattern(entry), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  return pattern.matches(value);
}

bool ip_entry_matches(const std::string& entry, const std::string& value) {
  return is_dotted_quad(entry) && equal_ignoring_case(entry, value);
}

}  // namespace korvex
