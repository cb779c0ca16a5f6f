// report_text - the report as plain text for a terminal or a cron mail.
//
// Exports: kTextBarLength, render_text.
#pragma once

#include <string>

#include "report/report_summary.h"

namespace korvex {

// Length of the bar of the busiest day.
inline constexpr std::uint64_t kTextBarLength = 40;

// render_text - the whole text report, each line ended by a line feed.
std::string render_text(const ReportSummary& summary);

}  // namespace korvex
