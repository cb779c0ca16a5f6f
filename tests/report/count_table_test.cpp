// count_table and rank_counts: counts kept per name however the table grows, and the
// ranking the report prints, largest first, equal counts by name.
#include "report/count_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/report_summary.h"

namespace korvex {
namespace {

TEST(CountTable, KeepsEveryNameApartThroughGrowth) {
  CountTable table;
  for (int round = 1; round <= 3; ++round) {
    for (int i = 0; i < 5000; ++i) table.add("192.0.2." + std::to_string(i), i % 7 == 0 ? 2 : 1);
  }
  table.add("");
  ASSERT_EQ(table.size(), 5001U);
  for (int i = 0; i < 5000; ++i) {
    const CountTable::Entry& entry = table.entries()[static_cast<std::size_t>(i)];
    ASSERT_EQ(entry.first, "192.0.2." + std::to_string(i));
    ASSERT_EQ(entry.second, i % 7 == 0 ? 6U : 3U) << entry.first;
  }
  EXPECT_EQ(table.entries().back(), (CountTable::Entry{"", 1}));
}

TEST(RankCounts, LargestFirstThenByNameAndCutToTheLimit) {
  CountTable table;
  for (const char* name : {"zen", "ip_blacklist", "block_lists:b", "ip_blacklist", "zen",
                           "block_lists:a", "from_blacklist", "zen"}) {
    table.add(name);
  }
  const std::vector<RankedRow> all = {{"zen", 3},
                                      {"ip_blacklist", 2},
                                      {"block_lists:a", 1},
                                      {"block_lists:b", 1},
                                      {"from_blacklist", 1}};
  EXPECT_EQ(rank_counts(table), all);
  EXPECT_EQ(rank_counts(table, 3), std::vector<RankedRow>(all.begin(), all.begin() + 3));
  EXPECT_EQ(rank_counts(table, 10), all);
  EXPECT_EQ(rank_counts(CountTable{}), std::vector<RankedRow>{});
}

}  // namespace
}  // namespace korvex
