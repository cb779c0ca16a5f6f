// counter_slot - what the plugin counted today, read from the month's counter file inside
// the sandbox, for tests that check a run was counted (or was not).
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {

// today_counts - the ham, spam and exempt counts of today's slot; empty when nothing was
// ever counted this month.
inline std::vector<unsigned> today_counts(const Sandbox& sandbox) {
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  char name[64] = {};
  std::snprintf(name, sizeof name, "/var/log/korvex/.counter.dat.%02d", local.tm_mon + 1);
  const std::optional<std::string> bytes = sandbox.read_file(name);
  if (!bytes || bytes->size() != 500) return {};
  const std::size_t slot = 4 + 16 * static_cast<std::size_t>(local.tm_mday - 1);
  std::vector<unsigned> counts;
  for (std::size_t field = slot + 4; field < slot + 16; field += 4) {
    unsigned value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>((*bytes)[field + i]);
    counts.push_back(value);
  }
  return counts;
}

}  // namespace korvex::testing
