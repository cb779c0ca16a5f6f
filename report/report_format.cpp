// report_format - shared pieces of the report's two forms. See report_format.h.
#include "report/report_format.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace korvex {

namespace {

std::uint64_t day_total(const DayCounts& counts) {
  return counts.ham + counts.spam + counts.exempt;
}

// value scaled so that largest becomes full_length, rounded half up; 128-bit in between so
// that no count can overflow.
std::uint64_t scaled(std::uint64_t value, std::uint64_t largest, std::uint64_t full_length) {
  if (largest == 0) return 0;
  __extension__ using wide = unsigned __int128;
  const wide product = static_cast<wide>(value) * full_length;
  return static_cast<std::uint64_t>((product + largest / 2) / largest);
}

}  // namespace

std::string day_text(std::chrono::sys_days day) {
  const std::chrono::year_month_day date{day};
  std::array<char, 16> text{};
  (void)std::snprintf(text.data(), text.size(), "%04d-%02u-%02u", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text.data();
}

std::string weekday_text(std::chrono::sys_days day) {
  static constexpr std::string_view kNames = "SunMonTueWedThuFriSat";
  return std::string(kNames.substr(std::size_t{std::chrono::weekday{day}.c_encoding()} * 3, 3));
}

BarParts bar_parts(const DayCounts& counts, std::uint64_t largest_total,
                   std::uint64_t full_length) {
  const std::uint64_t spam_end = scaled(counts.spam, largest_total, full_length);
  const std::uint64_t ham_end = scaled(counts.spam + counts.ham, largest_total, full_length);
  const std::uint64_t end = scaled(day_total(counts), largest_total, full_length);
  return {spam_end, ham_end - spam_end, end - ham_end};
}

std::uint64_t largest_day_total(const std::vector<DayRow>& days) {
  std::uint64_t largest = 0;
  for (const DayRow& row : days) largest = std::max(largest, day_total(row.counts));
  return largest;
}

std::string shown_name(std::string_view name) {
  if (name.empty()) return "(none)";
  std::string shown(name);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

}  // namespace korvex
