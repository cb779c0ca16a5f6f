// check_types - the check configuration and the full-address test, until the plugin core
// provides them.

#include "plugin/checks/check_types.h"

namespace korvex {

CheckConfig config;

bool is_full_address(const std::optional<std::string>& text) {
  if (!text || text->empty()) return false;
  const std::size_t at = text->find('@');
  return at != std::string::npos && at != 0 && at != text->size() - 1;
}

}  // namespace korvex
