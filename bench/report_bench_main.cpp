// korvex-report-bench - measures korvex-report over a month of a busy server's activity
// file: the generated lines (report_log_data.h) are laid out in a sandbox's
// /var/log/korvex, once as the current kxlog and once as a rotated, compressed kxlog.2.gz,
// and the report of the month is made --iterations times each. Prints a Markdown section
// for bench/README.md; progress on standard error.
//
//   korvex-report-bench [--lines N] [--iterations N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/bench_runner.h"
#include "bench/report_log_data.h"
#include "tests/e2e/sandbox.h"

namespace {

using korvex::testing::RunResult;
using korvex::testing::Sandbox;

const std::string kReport = std::string(korvex::testing::kProgramDirectory) + "/korvex-report";
constexpr double kGoalMs = 2000;

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system
};

struct Row {
  std::string name;
  std::vector<double> wall_ms;
  std::vector<double> cpu_ms;
};

std::string grouped(std::size_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string ms(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

std::vector<std::string> report_command() {
  return {kReport, "--since", korvex::bench::kReportBenchFirstDay, "--until",
          korvex::bench::kReportBenchLastDay};
}

// The report must be right before its time means anything: its totals are the runs the
// generator counted.
bool verify(Sandbox& sandbox, const korvex::bench::ReportLogData& data, std::ostream& err) {
  const RunResult run = sandbox.run(report_command(), {.env = {"TZ=UTC"}, .timeout_seconds = 120});
  char total[128];
  (void)std::snprintf(total, sizeof total, "\n  total          %10llu %10llu %10llu\n",
                      static_cast<unsigned long long>(data.ham),
                      static_cast<unsigned long long>(data.spam),
                      static_cast<unsigned long long>(data.exempt));
  if (run.exited_with(0) && run.err.empty() && run.out.find(total) != std::string::npos)
    return true;
  err << "korvex-report-bench: the report is not the expected one (totals" << total << "):\n"
      << run.describe() << "\n";
  return false;
}

// One report of the month, timed by bash's time keyword: wall, user and system seconds.
bool measure(Sandbox& sandbox, Sample* sample, std::string* failure) {
  std::string command = "TIMEFORMAT='%3R %3U %3S'; time";
  for (const std::string& word : report_command()) command += " " + word;
  command += " >/dev/null";
  const RunResult run =
      sandbox.run({"/bin/bash", "-c", command}, {.env = {"TZ=UTC"}, .timeout_seconds = 120});
  double wall = 0;
  double user = 0;
  double system = 0;
  if (!run.exited_with(0) ||
      std::sscanf(run.err.c_str(), "%lf %lf %lf", &wall, &user, &system) != 3) {
    *failure = run.describe();
    return false;
  }
  *sample = {wall * 1000, (user + system) * 1000};
  return true;
}

bool measure_row(Sandbox& sandbox, int iterations, Row* row, std::ostream& err) {
  for (int i = 0; i < iterations; ++i) {
    std::string failure;
    Sample sample;
    if (!measure(sandbox, &sample, &failure)) {
      err << "korvex-report-bench: " << row->name << ": the report failed:\n" << failure << "\n";
      return false;
    }
    row->wall_ms.push_back(sample.wall_ms);
    row->cpu_ms.push_back(sample.cpu_ms);
  }
  return true;
}

bool parse_count(const std::string& text, std::size_t* value) {
  try {
    std::size_t used = 0;
    const unsigned long long parsed = std::stoull(text, &used);
    if (used != text.size() || parsed == 0) return false;
    *value = static_cast<std::size_t>(parsed);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t lines = 1000000;
  std::size_t iterations = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    std::size_t* target = option == "--lines"        ? &lines
                          : option == "--iterations" ? &iterations
                                                     : nullptr;
    if (target == nullptr || i + 1 == argc || !parse_count(argv[i + 1], target)) {
      std::cerr << "usage: korvex-report-bench [--lines N] [--iterations N]\n";
      return 2;
    }
    ++i;
  }
  std::cerr << "korvex-report-bench: writing " << grouped(lines) << " activity lines\n";
  const korvex::bench::ReportLogData data = korvex::bench::report_log_data(lines);
  auto start = Sandbox::create();
  if (!start.sandbox) {
    std::cerr << "korvex-report-bench: no sandbox: " << start.message << "\n";
    return 1;
  }
  Sandbox& sandbox = *start.sandbox;
  if (!sandbox.install_program(KORVEX_BENCH_REPORT, "korvex-report") ||
      !sandbox.place_file("/var/log/korvex/kxlog", data.activity_lines, 0640) ||
      !sandbox.place_file("/var/log/korvex/.counter.dat.11", data.counter_file, 0640)) {
    std::cerr << "korvex-report-bench: cannot lay out the data in the sandbox\n";
    return 1;
  }
  const int count = static_cast<int>(iterations);
  std::vector<Row> rows = {{"kxlog", {}, {}}, {"kxlog.2.gz", {}, {}}};
  std::cerr << "korvex-report-bench: measuring the plain file\n";
  if (!verify(sandbox, data, std::cerr) || !measure_row(sandbox, count, &rows[0], std::cerr)) {
    return 1;
  }
  std::cerr << "korvex-report-bench: compressing it\n";
  const RunResult zipped = sandbox.run(
      {"/bin/sh", "-c",
       "gzip -6n </var/log/korvex/kxlog >/var/log/korvex/kxlog.2.gz && : >/var/log/korvex/kxlog"},
      {.env = {"PATH=/usr/bin:/bin"}, .timeout_seconds = 300});
  if (!zipped.exited_with(0)) {
    std::cerr << "korvex-report-bench: gzip failed:\n" << zipped.describe() << "\n";
    return 1;
  }
  const std::optional<std::string> archive = sandbox.read_file("/var/log/korvex/kxlog.2.gz");
  std::cerr << "korvex-report-bench: measuring the compressed file\n";
  if (!verify(sandbox, data, std::cerr) || !measure_row(sandbox, count, &rows[1], std::cerr)) {
    return 1;
  }

  const korvex::bench::Machine machine = korvex::bench::machine_facts();
  std::cout << "## korvex-report benchmark\n\n"
            << "- Date: " << machine.date << "\n"
            << "- Machine: " << machine.cpus << " CPUs, " << machine.cpu_model << ", "
            << machine.system << "\n"
            << "- Data: " << grouped(lines) << " activity lines of November 2026 ("
            << grouped(data.activity_lines.size() >> 20) << " MiB, "
            << grouped(archive ? archive->size() >> 20 : 0)
            << " MiB compressed) and the month's counter file, in the sandbox's in-memory "
               "/var/log/korvex\n"
            << "- Iterations: " << iterations << " reports of the month per file\n\n"
            << "| file | wall ms (median) | wall ms (min) | CPU ms (median) | lines per second "
               "(median wall) |\n"
            << "|:--|--:|--:|--:|--:|\n";
  for (const Row& row : rows) {
    const double middle = korvex::bench::median(row.wall_ms);
    const double fastest = *std::min_element(row.wall_ms.begin(), row.wall_ms.end());
    std::cout << "| " << row.name << " | " << ms(middle) << " | " << ms(fastest) << " | "
              << ms(korvex::bench::median(row.cpu_ms)) << " | "
              << grouped(static_cast<std::size_t>(static_cast<double>(lines) * 1000 / middle))
              << " |\n";
  }
  const double plain = korvex::bench::median(rows[0].wall_ms);
  std::cout << "\nGoal: the month's report from the plain kxlog under " << ms(kGoalMs)
            << " ms: " << ms(plain) << " ms, " << (plain < kGoalMs ? "met" : "not met") << ".\n";
  return 0;
}
