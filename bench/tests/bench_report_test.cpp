// The runner's report and command line: figures, ratios and goal verdicts from fixed
// samples, compared as whole texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/bench_runner.h"

namespace korvex::bench {
namespace {

Measured measured(const std::string& name, std::vector<Sample> samples,
                  std::optional<std::uint64_t> instructions) {
  return {name, std::move(samples), instructions};
}

// Two iterations per program: medians are the means of the two samples.
SetResult scaling_set(const std::string& name, double clean_wall,
                      std::optional<std::uint64_t> clean_instructions) {
  return {name,
          name + " data",
          measured("baseline", {{0.5, 0.2, 900}, {0.7, 0.4, 1000}}, 100000),
          {measured("clean", {{clean_wall, 1.0, 3000}, {clean_wall, 3.0, 2500}},
                    clean_instructions)}};
}

TEST(Median, IsTheMiddleValueOrTheMeanOfTheMiddleTwo) {
  EXPECT_EQ(median({}), 0);
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
}

TEST(Report, ShowsEverySetTheScalingAndTheGoals) {
  Report report;
  report.machine = {"2026-12-08 06:55 UTC", 2, "AMD EPYC", "Debian GNU/Linux 12 (bookworm)"};
  report.iterations = 2;
  report.scaling_iterations = 2;
  SetResult full{"full",
                 "5 TARN maps (125 MiB)",
                 measured("baseline", {{0.5, 0.2, 900}, {0.7, 0.4, 1000}}, 100000),
                 {measured("clean", {{1.0, 0.5, 5000}, {1.4, 0.7, 5196}}, 180000),
                  measured("exempt-ip", {{0.9, 0.3, 2000}, {1.1, 0.5, 2100}}, std::nullopt)}};
  report.sets = {full, scaling_set("maps-small", 9.0, 188000),
                 scaling_set("patterns-1000", 2.0, 400000),
                 scaling_set("patterns-10000", 6.0, std::nullopt)};

  EXPECT_EQ(format_report(report),
            "## korvex-plesk benchmark\n"
            "\n"
            "- Date: 2026-12-08 06:55 UTC\n"
            "- Machine: 2 CPUs, AMD EPYC, Debian GNU/Linux 12 (bookworm)\n"
            "- Iterations: 2 per program in data set full, 2 in the scaling sets; baseline and "
            "sessions interleaved\n"
            "\n"
            "### Data set full\n"
            "\n"
            "5 TARN maps (125 MiB)\n"
            "\n"
            "| run | wall ms | x base | CPU ms | x base | peak RSS KiB | + base KiB | Ir | x base |\n"
            "|:--|--:|--:|--:|--:|--:|--:|--:|--:|\n"
            "| baseline | 0.600 | 1.00 | 0.300 | 1.00 | 1,000 | +0 | 100,000 | 1.00 |\n"
            "| clean | 1.200 | 2.00 | 0.600 | 2.00 | 5,196 | +4,196 | 180,000 | 1.80 |\n"
            "| exempt-ip | 1.000 | 1.67 | 0.400 | 1.33 | 2,100 | +1,100 | - | - |\n"
            "\n"
            "### Scaling (clean session)\n"
            "\n"
            "| data set | wall ms | x base | CPU ms | + base KiB | Ir | Ir x full |\n"
            "|:--|--:|--:|--:|--:|--:|--:|\n"
            "| full | 1.200 | 2.00 | 0.600 | +4,196 | 180,000 | 1.00 |\n"
            "| maps-small | 9.000 | 15.00 | 2.000 | +2,000 | 188,000 | 1.04 |\n"
            "| patterns-1000 | 2.000 | 3.33 | 2.000 | +2,000 | 400,000 | 2.22 |\n"
            "| patterns-10000 | 6.000 | 10.00 | 2.000 | +2,000 | - | - |\n"
            "\n"
            "- full: 5 TARN maps (125 MiB)\n"
            "- maps-small: maps-small data\n"
            "- patterns-1000: patterns-1000 data\n"
            "- patterns-10000: patterns-10000 data\n"
            "\n"
            "### Goals\n"
            "\n"
            "| goal | measured | met |\n"
            "|:--|--:|:--|\n"
            "| clean session wall time <= 2x baseline (full) | 2.00x | yes |\n"
            "| clean session peak memory <= baseline + 4 MiB (full) | +4,196 KiB | no |\n"
            "| cost independent of TARN map size: maps-small vs full (Ir) | 1.04x | yes |\n"
            "| 10,000-line pattern lists <= 2x 1,000-line lists (wall) | 3.00x | no |\n");
}

TEST(Report, SaysWhatWasNotMeasured) {
  Report report;
  report.machine = {"2026-12-08 06:55 UTC", 1, "cpu", "system"};
  report.iterations = 3;
  report.scaling_iterations = 1;
  report.sets = {scaling_set("full", 0.9, std::nullopt)};
  const std::string text = format_report(report);
  EXPECT_EQ(text.substr(text.find("### Goals")),
            "### Goals\n"
            "\n"
            "| goal | measured | met |\n"
            "|:--|--:|:--|\n"
            "| clean session wall time <= 2x baseline (full) | 1.50x | yes |\n"
            "| clean session peak memory <= baseline + 4 MiB (full) | +2,000 KiB | yes |\n"
            "| cost independent of TARN map size: maps-small vs full | not measured | - |\n"
            "| 10,000-line pattern lists <= 2x 1,000-line lists | not measured | - |\n");
  EXPECT_EQ(text.find("### Scaling"), std::string::npos);
}

TEST(Report, HoldsPatternListsCopiedOrEditedAfterIndexingToTheWallGoal) {
  Report report;
  report.machine = {"2026-12-08 06:55 UTC", 1, "cpu", "system"};
  report.sets = {scaling_set("full", 0.9, std::nullopt), scaling_set("patterns-copied", 1.2, 1),
                 scaling_set("patterns-edited", 1.8, 1)};
  const std::string text = format_report(report);
  const std::size_t goals = text.find("### Goals");
  ASSERT_NE(goals, std::string::npos);
  EXPECT_EQ(text.substr(goals, text.find("| clean session peak memory") - goals),
            "### Goals\n"
            "\n"
            "| goal | measured | met |\n"
            "|:--|--:|:--|\n"
            "| clean session wall time <= 2x baseline (full) | 1.50x | yes |\n"
            "| clean session wall time <= 2x baseline (patterns-copied) | 2.00x | yes |\n"
            "| clean session wall time <= 2x baseline (patterns-edited) | 3.00x | no |\n");
}

TEST(BenchArguments, KeepTheDefaultsTakeOptionsAndRefuseNonsense) {
  BenchOptions defaults;
  defaults.plugin = "/build/korvex-plesk";
  defaults.baseline = "/build/baseline";
  std::string error;
  const auto plain = parse_bench_arguments({"--data", "/d"}, defaults, &error);
  ASSERT_TRUE(plain.has_value()) << error;
  EXPECT_EQ(plain->data, "/d");
  EXPECT_EQ(plain->plugin, "/build/korvex-plesk");
  EXPECT_EQ(plain->iterations, 30);
  EXPECT_EQ(plain->scaling_iterations, 10);
  EXPECT_TRUE(plain->scaling);
  EXPECT_TRUE(plain->callgrind);

  const auto chosen = parse_bench_arguments(
      {"--iterations", "5", "--scaling-iterations", "2", "--no-scaling", "--no-callgrind",
       "--data", "/d", "--valgrind", "/v", "--compare", "/other/korvex-plesk"},
      defaults, &error);
  ASSERT_TRUE(chosen.has_value()) << error;
  EXPECT_EQ(chosen->iterations, 5);
  EXPECT_EQ(chosen->scaling_iterations, 2);
  EXPECT_FALSE(chosen->scaling);
  EXPECT_FALSE(chosen->callgrind);
  EXPECT_EQ(chosen->valgrind, "/v");
  EXPECT_EQ(chosen->compare, "/other/korvex-plesk");
  EXPECT_EQ(plain->compare, "");

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{}, "--data, --plugin and --baseline are needed"},
      {{"--data", "/d", "--iterations", "0"}, "--iterations needs a positive number, not 0"},
      {{"--data", "/d", "--iterations", "3x"}, "--iterations needs a positive number, not 3x"},
      {{"--data"}, "unknown option or missing value: --data"},
      {{"--data", "/d", "--fast", "1"}, "unknown option: --fast"},
  };
  for (const auto& [arguments, message] : bad) {
    error.clear();
    EXPECT_FALSE(parse_bench_arguments(arguments, defaults, &error).has_value());
    EXPECT_EQ(error, message);
  }
}

}  // namespace
}  // namespace korvex::bench
