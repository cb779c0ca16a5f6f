// report_log_data - the korvex-report benchmark's data: a month of activity lines of a busy
// server, and the month's counter file that goes with them.
//
// Everything is drawn from std::mt19937 with a fixed seed through uniform integer
// distributions only, so the same line count writes the same bytes on every run. The month
// is November 2026 in UTC; lines are spread evenly over its days in time order. About 55 in
// 100 runs are HAM, 35 SPAM (a dozen rules and lists, the block-list rule with one or two
// list names), 7 exempt, 2 report-only hits and 1 deferral; peers come from 60,000 addresses
// (a tenth IPv6) and senders from 20,000 domains.
//
// Exports: kReportBenchFirstDay, kReportBenchLastDay, ReportLogData, report_log_data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvex::bench {

inline constexpr const char* kReportBenchFirstDay = "2026-11-01";
inline constexpr const char* kReportBenchLastDay = "2026-11-30";

struct ReportLogData {
  std::string activity_lines;  // the kxlog
  std::string counter_file;    // .counter.dat.11, counting the same runs
  std::uint64_t ham = 0;       // the month's runs by outcome
  std::uint64_t spam = 0;
  std::uint64_t exempt = 0;
};

// report_log_data - the data set of line_count lines.
ReportLogData report_log_data(std::size_t line_count);

}  // namespace korvex::bench
