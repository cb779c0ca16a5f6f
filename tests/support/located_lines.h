// located_lines - compare captured diagnostics whole, without the source line number
// (which belongs to the implementation, not to the interface): "qv_file:171 ERROR f(): x"
// becomes "qv_file ERROR f(): x".
#pragma once

#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace korvex::testing {

inline std::string without_line_number(const std::string& text) {
  const auto colon = text.find(':');
  const auto blank = text.find(' ');
  if (colon == std::string::npos || blank == std::string::npos || colon > blank) return text;
  return text.substr(0, colon) + text.substr(blank);
}

// Every captured line as "<priority> <text without line number>".
inline std::vector<std::string> located_lines(const LogCapture& capture) {
  std::vector<std::string> result;
  for (const auto& line : capture.lines()) {
    result.push_back(std::to_string(line.priority) + " " + without_line_number(line.text));
  }
  return result;
}

}  // namespace korvex::testing
