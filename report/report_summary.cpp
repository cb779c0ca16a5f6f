// report_summary - ranking and the day rows. See report_summary.h.
#include "report/report_summary.h"

#include <algorithm>

namespace korvex {

std::vector<RankedRow> rank_counts(const CountTable& table, std::size_t limit) {
  std::vector<const CountTable::Entry*> entries;
  entries.reserve(table.size());
  for (const CountTable::Entry& entry : table.entries()) entries.push_back(&entry);
  const auto before = [](const CountTable::Entry* left, const CountTable::Entry* right) {
    return left->second != right->second ? left->second > right->second
                                         : left->first < right->first;
  };
  const std::size_t kept = limit == 0 ? entries.size() : std::min(limit, entries.size());
  std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(kept),
                    entries.end(), before);
  std::vector<RankedRow> rows;
  rows.reserve(kept);
  for (std::size_t index = 0; index < kept; ++index) {
    rows.push_back({entries[index]->first, entries[index]->second});
  }
  return rows;
}

ReportSummary summarise(const ActivityTally& tally,
                        const std::vector<std::optional<DayCounts>>& counted) {
  ReportSummary summary;
  summary.period = tally.period;
  for (std::size_t index = 0; index < tally.days.size(); ++index) {
    DayRow row{tally.period.first + std::chrono::days(index), tally.days[index], DaySource::kLog};
    if (index < counted.size() && counted[index]) {
      row.counts = *counted[index];
      row.source = DaySource::kCounter;
    }
    summary.total.ham += row.counts.ham;
    summary.total.spam += row.counts.spam;
    summary.total.exempt += row.counts.exempt;
    summary.days.push_back(row);
  }
  summary.refusals = rank_counts(tally.refusals);
  summary.report_only = rank_counts(tally.report_only);
  summary.deferrals = rank_counts(tally.deferrals);
  summary.refused_peers = rank_counts(tally.refused_peers, kTopRows);
  summary.refused_domains = rank_counts(tally.refused_domains, kTopRows);
  summary.unparsed_lines = tally.unparsed_lines;
  summary.first_unparsed_file = tally.first_unparsed_file;
  summary.first_unparsed_line = tally.first_unparsed_line;
  return summary;
}

}  // namespace korvex
