// report_summary - what the report shows, made from a tally of the activity files and the
// counter files' days: one row per day of the period (the counter file's counts where it
// has the day, else the activity log's), and the tables ranked largest first.
//
// Exports: kTopRows, DaySource, DayRow, RankedRow, ReportSummary, rank_counts, summarise.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/activity_tally.h"

namespace korvex {

// How many peers and sender domains the report names.
inline constexpr std::size_t kTopRows = 10;

enum class DaySource { kCounter, kLog };

struct DayRow {
  std::chrono::sys_days day;
  DayCounts counts;
  DaySource source = DaySource::kLog;
};

struct RankedRow {
  std::string name;
  std::uint64_t count = 0;
  bool operator==(const RankedRow&) const = default;
};

struct ReportSummary {
  Period period;
  std::vector<DayRow> days;
  DayCounts total;
  std::vector<RankedRow> refusals;
  std::vector<RankedRow> report_only;
  std::vector<RankedRow> deferrals;
  std::vector<RankedRow> refused_peers;    // the kTopRows first
  std::vector<RankedRow> refused_domains;  // the kTopRows first
  std::uint64_t unparsed_lines = 0;
  std::string first_unparsed_file;
  std::size_t first_unparsed_line = 0;
};

// rank_counts - the rows of table by count, largest first, equal counts by name; at most
// limit rows when limit is not zero.
std::vector<RankedRow> rank_counts(const CountTable& table, std::size_t limit = 0);

// summarise - the report of the tally; counted[i] holds the counter file's counts of the
// period's day i, when it has them.
ReportSummary summarise(const ActivityTally& tally,
                        const std::vector<std::optional<DayCounts>>& counted);

}  // namespace korvex
