// The korvex-report benchmark's data: every line is an activity line as the plugin writes
// it, of the benchmark's month, the counter file counts the same runs, and the same count
// gives the same bytes.
#include "bench/report_log_data.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string_view>

#include "report/activity_entry.h"
#include "report/counter_reader.h"

namespace korvex::bench {
namespace {

TEST(ReportLogData, IsAMonthOfActivityLinesThatTheCounterFileCounts) {
  const ReportLogData data = report_log_data(3000);
  EXPECT_EQ(data.activity_lines, report_log_data(3000).activity_lines);
  const std::optional<CounterFile> counters = decode_counter_file(data.counter_file);
  ASSERT_TRUE(counters.has_value());

  const std::chrono::sys_days first{std::chrono::year{2026} / 11 / 1};
  std::array<DayCounts, 30> counted{};
  std::array<int, 5> kinds{};
  std::size_t lines = 0;
  std::string_view text = data.activity_lines;
  for (std::size_t end = 0; (end = text.find('\n')) != std::string_view::npos;
       text.remove_prefix(end + 1), ++lines) {
    const std::optional<ActivityEntry> entry = parse_activity_line(text.substr(0, end));
    ASSERT_TRUE(entry.has_value()) << text.substr(0, end);
    const auto day = (entry->day - first).count();
    ASSERT_TRUE(day >= 0 && day < 30) << text.substr(0, end);
    DayCounts& counts = counted[static_cast<std::size_t>(day)];
    ++kinds[static_cast<std::size_t>(entry->kind)];
    if (entry->kind == EntryKind::kHam) ++counts.ham;
    if (entry->kind == EntryKind::kSpam) ++counts.spam;
    if (entry->kind == EntryKind::kExempt) ++counts.exempt;
  }
  EXPECT_EQ(lines, 3000U);
  EXPECT_TRUE(text.empty());
  for (std::size_t day = 0; day < counted.size(); ++day) {
    const CounterSlot& slot = counters->slots[day];
    EXPECT_EQ(slot.day_start, 1793491200 + static_cast<std::int32_t>(day) * 86400);
    EXPECT_EQ((DayCounts{slot.ham, slot.spam, slot.exempt}), counted[day]) << "day " << day + 1;
  }
  for (const int kind : kinds) EXPECT_GT(kind, 0);  // every kind of line is there
}

}  // namespace
}  // namespace korvex::bench
