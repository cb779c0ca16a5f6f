// Smoke run of the whole benchmark: the generator writes the miniature data, the runner
// measures it with two iterations, and every line of the report has the shape it should.
// Timings are never judged, only the form in which they are reported.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/program_runner.h"
#include "tests/testkit/whole_match.h"

namespace korvex::bench {
namespace {

using korvex::testing::run_program;
using korvex::testing::RunOptions;

// Expressions are POSIX extended ones, matched against whole lines.
using korvex::testing::literal;
using korvex::testing::matches_whole;

const std::string kMs = "[0-9]+\\.[0-9]{3}";
const std::string kRatio = "[0-9]+\\.[0-9]{2}";
const std::string kKib = "[0-9][0-9,]*";
const std::string kSignedKib = "[-+][0-9][0-9,]*";
const std::string kIr = KORVEX_SMOKE_CALLGRIND ? "[0-9][0-9,]*" : "-";
const std::string kIrRatio = KORVEX_SMOKE_CALLGRIND ? kRatio : "-";

std::string set_row(const std::string& name) {
  return literal("| " + name + " | ") + kMs + " \\| " + kRatio + " \\| " + kMs + " \\| " + kRatio +
         " \\| " + kKib + " \\| " + kSignedKib + " \\| " + kIr + " \\| " + kIrRatio + " \\|";
}

std::string scaling_row(const std::string& name) {
  return literal("| " + name + " | ") + kMs + " \\| " + kRatio + " \\| " + kMs + " \\| " +
         kSignedKib + " \\| " + kIr + " \\| " + kIrRatio + " \\|";
}

std::vector<std::string> expected_report_shape() {
  const std::string full_data =
      "2 TARN maps (under 1 MiB), dyna.regexes 40 lines (0 published), spam.regexes 20 lines, admin "
      "lists 20 entries, forgery table 20 domains";
  return {
      literal("## korvex-plesk benchmark"),
      "",
      "- Date: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2} UTC",
      "- Machine: [1-9][0-9]* CPUs, .+, .+",
      literal("- Iterations: 2 per program in data set full, 2 in the scaling sets; baseline and "
              "sessions interleaved"),
      "",
      literal("### Data set full"),
      "",
      literal(full_data),
      "",
      literal("| run | wall ms | x base | CPU ms | x base | peak RSS KiB | + base KiB | Ir | x base |"),
      literal("|:--|--:|--:|--:|--:|--:|--:|--:|--:|"),
      set_row("baseline"),
      set_row("clean"),
      set_row("blocked-sender"),
      set_row("exempt-ip"),
      set_row("tarn-hit"),
      set_row("clean (compare)"),
      "",
      literal("### Scaling (clean session)"),
      "",
      literal("| data set | wall ms | x base | CPU ms | + base KiB | Ir | Ir x full |"),
      literal("|:--|--:|--:|--:|--:|--:|--:|"),
      scaling_row("full"),
      scaling_row("patterns-100"),
      scaling_row("maps-small"),
      "",
      literal("- full: " + full_data),
      literal("- patterns-100: 2 TARN maps (under 1 MiB), dyna.regexes 100 lines (0 published), "
              "spam.regexes 100 lines, admin lists 20 entries, forgery table 20 domains"),
      literal("- maps-small: 1 TARN map (under 1 MiB), dyna.regexes 40 lines (0 published), "
              "spam.regexes 20 lines, admin lists 20 entries, forgery table 20 domains"),
      "",
      literal("### Goals"),
      "",
      literal("| goal | measured | met |"),
      literal("|:--|--:|:--|"),
      literal("| clean session wall time <= 2x baseline (full) | ") + "[0-9]+\\.[0-9]{2}x" +
          " \\| (yes|no) \\|",
      literal("| clean session peak memory <= baseline + 4 MiB (full) | ") + kSignedKib +
          " KiB \\| (yes|no) \\|",
      literal("| cost independent of TARN map size: maps-small vs full (") +
          (KORVEX_SMOKE_CALLGRIND ? "Ir" : "wall") + literal(") | ") + "[0-9]+\\.[0-9]{2}x" +
          " \\| (yes|no) \\|",
      literal("| 10,000-line pattern lists <= 2x 1,000-line lists | not measured | - |"),
  };
}

TEST(BenchSmoke, GeneratesMeasuresAndReportsEveryFigure) {
  if (geteuid() != 0) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::strcmp(ci, "true") == 0) FAIL() << "the benchmark needs root";
    GTEST_SKIP() << "the benchmark's sandbox needs root";
  }
  RunOptions options;
  options.timeout_seconds = 120;
  // Generated patterns only, so the run does not depend on the published list being at hand.
  const auto generated = run_program(
      {KORVEX_BENCH_GEN, "--small", "--published", "/dev/null", KORVEX_BENCH_SCRATCH}, options);
  ASSERT_TRUE(generated.exited_with(0)) << generated.describe();
  EXPECT_EQ(generated.err, "");

  // The plugin compared with itself: the option's row, measured in the same rounds.
  std::vector<std::string> arguments = {
      KORVEX_BENCH, "--data", KORVEX_BENCH_SCRATCH, "--iterations", "2", "--scaling-iterations",
      "2",          "--compare", KORVEX_BENCH_PLUGIN};
  if (!KORVEX_SMOKE_CALLGRIND) arguments.emplace_back("--no-callgrind");
  const auto run = run_program(arguments, options);
  ASSERT_TRUE(run.exited_with(0)) << run.describe();

  const auto shape = expected_report_shape();
  std::vector<std::string> lines;
  std::istringstream report(run.out);
  for (std::string line; std::getline(report, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), shape.size()) << run.out;
  for (std::size_t index = 0; index < shape.size(); ++index) {
    EXPECT_TRUE(matches_whole(lines[index], shape[index]))
        << "line " << index + 1 << ": " << lines[index] << "\nexpected: " << shape[index];
  }
  // No process starts and ends within a microsecond: a zero is a figure never measured.
  EXPECT_EQ(run.out.find(" 0.000 "), std::string::npos) << run.out;
}

}  // namespace
}  // namespace korvex::bench
