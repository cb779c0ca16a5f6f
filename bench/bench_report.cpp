// bench_report - medians, ratios and the Markdown text of a benchmark run.
#include "bench/bench_report.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace korvex::bench {
namespace {

constexpr long kMemoryGoalKib = 4 * 1024;
constexpr double kWallGoalRatio = 2.0;
constexpr double kPatternGoalRatio = 2.0;
// Map size must not matter: the cost with small maps stays within this share of the cost
// with dense ones.
constexpr double kMapSizeTolerance = 0.05;

std::string printed(const char* format, double value) {
  char text[64];
  (void)std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

std::string signed_grouped(long value) {
  const auto magnitude = static_cast<std::uint64_t>(value < 0 ? -value : value);
  return (value < 0 ? "-" : "+") + grouped(magnitude);
}

double wall_median(const Measured& measured) {
  std::vector<double> values;
  for (const auto& sample : measured.samples) values.push_back(sample.wall_ms);
  return median(values);
}

double cpu_median(const Measured& measured) {
  std::vector<double> values;
  for (const auto& sample : measured.samples) values.push_back(sample.cpu_ms);
  return median(values);
}

long peak_rss(const Measured& measured) {
  long peak = 0;
  for (const auto& sample : measured.samples) peak = std::max(peak, sample.peak_rss_kib);
  return peak;
}

std::string ratio(double value, double base) {
  if (base <= 0) return "-";
  return printed("%.2f", value / base);
}

std::string instructions(const Measured& measured) {
  return measured.instructions ? grouped(*measured.instructions) : "-";
}

std::string instruction_ratio(const Measured& measured, const Measured& base) {
  if (!measured.instructions || !base.instructions) return "-";
  return ratio(static_cast<double>(*measured.instructions),
               static_cast<double>(*base.instructions));
}

std::string set_row(const Measured& measured, const Measured& base) {
  return "| " + measured.name + " | " + printed("%.3f", wall_median(measured)) + " | " +
         ratio(wall_median(measured), wall_median(base)) + " | " +
         printed("%.3f", cpu_median(measured)) + " | " +
         ratio(cpu_median(measured), cpu_median(base)) + " | " + grouped(peak_rss(measured)) +
         " | " + signed_grouped(peak_rss(measured) - peak_rss(base)) + " | " +
         instructions(measured) + " | " + instruction_ratio(measured, base) + " |\n";
}

std::string set_section(const SetResult& set) {
  std::string text = "### Data set " + set.name + "\n\n" + set.description + "\n\n";
  text += "| run | wall ms | x base | CPU ms | x base | peak RSS KiB | + base KiB | Ir | x base |\n";
  text += "|:--|--:|--:|--:|--:|--:|--:|--:|--:|\n";
  text += set_row(set.baseline, set.baseline);
  for (const auto& session : set.sessions) text += set_row(session, set.baseline);
  return text + "\n";
}

const SetResult* find_set(const Report& report, std::string_view name) {
  for (const auto& set : report.sets) {
    if (set.name == name && !set.sessions.empty()) return &set;
  }
  return nullptr;
}

std::string scaling_section(const Report& report) {
  const SetResult* full = find_set(report, "full");
  std::string text = "### Scaling (clean session)\n\n";
  text += "| data set | wall ms | x base | CPU ms | + base KiB | Ir | Ir x full |\n";
  text += "|:--|--:|--:|--:|--:|--:|--:|\n";
  std::string descriptions;
  for (const auto& set : report.sets) {
    if (set.sessions.empty()) continue;
    const Measured& clean = set.sessions.front();
    text += "| " + set.name + " | " + printed("%.3f", wall_median(clean)) + " | " +
            ratio(wall_median(clean), wall_median(set.baseline)) + " | " +
            printed("%.3f", cpu_median(clean)) + " | " +
            signed_grouped(peak_rss(clean) - peak_rss(set.baseline)) + " | " +
            instructions(clean) + " | " +
            (full != nullptr ? instruction_ratio(clean, full->sessions.front()) : "-") + " |\n";
    descriptions += "- " + set.name + ": " + set.description + "\n";
  }
  return text + "\n" + descriptions + "\n";
}

std::string goal_row(const std::string& goal, const std::string& measured, bool met) {
  return "| " + goal + " | " + measured + " | " + (met ? "yes" : "no") + " |\n";
}

std::string not_measured(const std::string& goal) {
  return "| " + goal + " | not measured | - |\n";
}

// The clean session of set against that of reference: by instruction count when both were
// counted, else by median wall time. The suffix says which.
struct Comparison {
  double ratio = 0;
  std::string basis;
};

std::optional<Comparison> compare_clean(const SetResult* set, const SetResult* reference) {
  if (set == nullptr || reference == nullptr) return std::nullopt;
  const Measured& measured = set->sessions.front();
  const Measured& base = reference->sessions.front();
  if (measured.instructions && base.instructions && *base.instructions > 0) {
    return Comparison{static_cast<double>(*measured.instructions) /
                          static_cast<double>(*base.instructions),
                      "Ir"};
  }
  const double base_wall = wall_median(base);
  if (base_wall <= 0) return std::nullopt;
  return Comparison{wall_median(measured) / base_wall, "wall"};
}

std::string wall_goal(const std::string& set_name) {
  return "clean session wall time <= 2x baseline (" + set_name + ")";
}

// The clean session's wall time against the baseline's in the same data set.
std::string wall_goal_row(const SetResult& set) {
  const double base_wall = wall_median(set.baseline);
  const double wall = base_wall > 0 ? wall_median(set.sessions.front()) / base_wall : 0;
  return goal_row(wall_goal(set.name), printed("%.2fx", wall),
                  base_wall > 0 && wall <= kWallGoalRatio);
}

std::string goals_section(const Report& report) {
  std::string text = "### Goals\n\n| goal | measured | met |\n|:--|--:|:--|\n";
  const SetResult* full = find_set(report, "full");
  const std::string memory_goal = "clean session peak memory <= baseline + 4 MiB (full)";
  if (full == nullptr) {
    text += not_measured(wall_goal("full")) + not_measured(memory_goal);
  } else {
    const Measured& clean = full->sessions.front();
    text += wall_goal_row(*full);
    // Pattern lists that were copied or edited after indexing must cost no more, after the
    // first run, than lists indexed where they lie.
    for (const char* name : {"patterns-copied", "patterns-edited"}) {
      const SetResult* changed = find_set(report, name);
      if (changed != nullptr && !changed->sessions.empty()) text += wall_goal_row(*changed);
    }
    const long extra = peak_rss(clean) - peak_rss(full->baseline);
    text += goal_row(memory_goal, signed_grouped(extra) + " KiB", extra <= kMemoryGoalKib);
  }
  const auto maps = compare_clean(find_set(report, "maps-small"), full);
  const std::string map_goal = "cost independent of TARN map size: maps-small vs full";
  if (maps) {
    text += goal_row(map_goal + " (" + maps->basis + ")", printed("%.2fx", maps->ratio),
                     maps->ratio >= 1 - kMapSizeTolerance && maps->ratio <= 1 + kMapSizeTolerance);
  } else {
    text += not_measured(map_goal);
  }
  const auto patterns =
      compare_clean(find_set(report, "patterns-10000"), find_set(report, "patterns-1000"));
  const std::string pattern_goal = "10,000-line pattern lists <= 2x 1,000-line lists";
  if (patterns) {
    text += goal_row(pattern_goal + " (" + patterns->basis + ")", printed("%.2fx", patterns->ratio),
                     patterns->ratio <= kPatternGoalRatio);
  } else {
    text += not_measured(pattern_goal);
  }
  return text;
}

}  // namespace

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  if (values.size() % 2 == 1) return values[middle];
  return (values[middle - 1] + values[middle]) / 2;
}

std::string format_report(const Report& report) {
  std::string text = "## korvex-plesk benchmark\n\n";
  text += "- Date: " + report.machine.date + "\n";
  text += "- Machine: " + std::to_string(report.machine.cpus) + " CPUs, " +
          report.machine.cpu_model + ", " + report.machine.system + "\n";
  text += "- Iterations: " + std::to_string(report.iterations) + " per program in data set full, " +
          std::to_string(report.scaling_iterations) +
          " in the scaling sets; baseline and sessions interleaved\n\n";
  const SetResult* full = find_set(report, "full");
  if (full != nullptr) text += set_section(*full);
  if (report.sets.size() > 1) text += scaling_section(report);
  return text + goals_section(report);
}

}  // namespace korvex::bench
