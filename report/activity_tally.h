// activity_tally - counts the activity lines of a period: recipients per day by outcome,
// refusals per rule or list, report-only hits and deferrals per rule, refusals per peer
// address and per sender domain, and the lines that are not activity lines.
//
// Exports: Period, ActivityTally, TallySink, merge_tally.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/activity_files.h"
#include "report/count_table.h"
#include "report/counter_reader.h"

namespace korvex {

// The days of a report, first and last included.
struct Period {
  std::chrono::sys_days first;
  std::chrono::sys_days last;
  std::size_t days() const { return static_cast<std::size_t>((last - first).count()) + 1; }
  bool contains(std::chrono::sys_days day) const { return day >= first && day <= last; }
};

struct ActivityTally {
  explicit ActivityTally(Period counted) : period(counted), days(counted.days()) {}

  Period period;
  std::vector<DayCounts> days;  // the period's days in order
  CountTable refusals;          // SPAM lines by detail
  CountTable report_only;       // REPORT lines by detail
  CountTable deferrals;         // TEMPFAIL lines by rule
  CountTable refused_peers;
  CountTable refused_domains;
  std::uint64_t unparsed_lines = 0;
  std::string first_unparsed_file;  // where the first of them is
  std::size_t first_unparsed_line = 0;
};

// Feeds the lines of one file into a tally; lines outside the period are passed over.
class TallySink : public LineSink {
 public:
  TallySink(ActivityTally* tally, std::string file) : tally_(tally), file_(std::move(file)) {}
  void line(std::string_view text, std::size_t line_number) override;

 private:
  ActivityTally* tally_;
  std::string file_;
  std::string scratch_;
};

// merge_tally - add the counts of from (a tally of the same period) to into.
void merge_tally(const ActivityTally& from, ActivityTally* into);

}  // namespace korvex
