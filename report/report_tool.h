// report_tool - korvex-report: the administrator's summary of a period's mail decisions,
// read from the activity file, its rotated copies and the monthly counter files, printed
// as text or written as one HTML page.
//
// Exports: kReportProgram, kReportMade, kReportNothingRead, kReportUsage, ReportSetup,
// report_usage, parse_report_date, report_tool.
#pragma once

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "plugin/plugin_paths.h"
#include "support/qv_log.h"

namespace korvex {

inline constexpr const char* kReportProgram = "korvex-report";

inline constexpr int kReportMade = 0;         // the report is out
inline constexpr int kReportNothingRead = 1;  // no activity or counter file could be read
inline constexpr int kReportUsage = 2;        // bad command line, or the report not written

// Where the report reads and what "today" is.
struct ReportSetup {
  std::string log_dir = kPleskLogDir;
  std::time_t now = 0;
  log_function system_log = nullptr;  // problems go here as well as to standard error
};

// report_usage - the usage text (program is unused; the text names the program itself).
void report_usage(std::FILE* stream, const char* program);

// parse_report_date - a date written YYYY-MM-DD; none unless it is one, in full.
std::optional<std::chrono::sys_days> parse_report_date(std::string_view text);

// report_tool - the whole program; returns its exit status.
int report_tool(int argc, char* argv[], const ReportSetup& setup, std::FILE* out, std::FILE* err);

}  // namespace korvex
