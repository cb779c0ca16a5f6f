// check_types - the check results and check configuration that the check
// routines work on, until the plugin core provides them.
#pragma once

#include <optional>
#include <string>

#include "plugin/load_spp_env.h"

namespace korvex {

enum CheckResult { DUNNO = 0, HIT = 1, TEMPFAIL = 2 };
struct CheckConfig {
  std::string tarn_directory;
  std::string dynamic_regex_filename;
  std::string reverse_dns_regex_filename;
};

extern CheckConfig config;

bool is_full_address(const std::optional<std::string>& text);

}  // namespace korvex
