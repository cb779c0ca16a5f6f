// whole_match - tests compare whole outputs against POSIX extended expressions: literal
// turns fixed text into an expression for exactly it, matches_whole anchors the expression
// at both ends of the text.
#pragma once

#include <regex.h>

#include <string>
#include <string_view>

namespace korvex::testing {

inline std::string literal(const std::string& text) {
  std::string pattern;
  for (const char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

inline bool matches_whole(const std::string& text, const std::string& pattern) {
  regex_t compiled;
  if (regcomp(&compiled, ("^" + pattern + "$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
    return false;
  }
  const bool matched = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&compiled);
  return matched;
}

}  // namespace korvex::testing
