// bench_report - what the benchmark runner measured and the text it prints.
//
// A run measures, per data set, the baseline program and one or more korvex-plesk
// sessions: every iteration gives a Sample per program (wall and CPU time, peak resident
// memory), and callgrind may give one instruction count per program. The report shows
// medians, ratios to the baseline, the peak memory, the instruction counts, a scaling
// table over the data sets and whether the performance goals are met. It is Markdown so it
// can be pasted into bench/README.md as it stands.
//
// Exports: Sample, Measured, SetResult, Machine, Report, median, format_report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvex::bench {

struct Sample {
  double wall_ms = 0;
  double cpu_ms = 0;       // user + system
  long peak_rss_kib = 0;   // ru_maxrss of the child
};

struct Measured {
  std::string name;
  std::vector<Sample> samples;
  std::optional<std::uint64_t> instructions;  // callgrind's Ir; absent when not counted
};

struct SetResult {
  std::string name;
  std::string description;
  Measured baseline;
  std::vector<Measured> sessions;  // the clean session first
};

struct Machine {
  std::string date;       // "2026-12-08 06:55 UTC"
  long cpus = 0;
  std::string cpu_model;
  std::string system;     // PRETTY_NAME of os-release
};

struct Report {
  Machine machine;
  int iterations = 0;
  int scaling_iterations = 0;
  std::vector<SetResult> sets;  // "full" first when measured
};

// median - the middle value (mean of the two middle ones for an even count); 0 when empty.
double median(std::vector<double> values);

// format_report - the whole report text.
std::string format_report(const Report& report);

}  // namespace korvex::bench
