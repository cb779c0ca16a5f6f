// report_format - the pieces the text and the HTML report share: dates, weekday names,
// the split of a day's bar, and names made safe to show.
//
// Exports: day_text, weekday_text, BarParts, bar_parts, largest_day_total, shown_name.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_summary.h"

namespace korvex {

// day_text - "YYYY-MM-DD".
std::string day_text(std::chrono::sys_days day);

// weekday_text - "Mon" to "Sun".
std::string weekday_text(std::chrono::sys_days day);

// Lengths of a day's stacked bar: spam first, then ham, then exempt.
struct BarParts {
  std::uint64_t spam = 0;
  std::uint64_t ham = 0;
  std::uint64_t exempt = 0;
};

// bar_parts - the bar of counts where the largest day total fills full_length; the parts
// are rounded so that they add up to the rounded whole.
BarParts bar_parts(const DayCounts& counts, std::uint64_t largest_total, std::uint64_t full_length);

// largest_day_total - the largest ham + spam + exempt of the rows; 0 when all are empty.
std::uint64_t largest_day_total(const std::vector<DayRow>& days);

// shown_name - a name from the activity log fit for one line: control bytes become "?",
// and an empty name reads "(none)".
std::string shown_name(std::string_view name);

}  // namespace korvex
