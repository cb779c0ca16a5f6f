// report_text - the plain-text report. See report_text.h.
#include "report/report_text.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "report/report_format.h"

namespace korvex {

namespace {

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatted(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::array<char, 256> line{};
  const int length = std::vsnprintf(line.data(), line.size(), format, arguments);
  va_end(arguments);
  return length < 0 ? std::string() : std::string(line.data());
}

std::string count_columns(const DayCounts& counts) {
  return formatted("%10" PRIu64 " %10" PRIu64 " %10" PRIu64, counts.ham, counts.spam,
                   counts.exempt);
}

std::string bar(const DayCounts& counts, std::uint64_t largest) {
  const BarParts parts = bar_parts(counts, largest, kTextBarLength);
  return std::string(parts.spam, '#') + std::string(parts.ham, '=') +
         std::string(parts.exempt, '-');
}

void append_days(const ReportSummary& summary, std::string* text) {
  *text += "Recipients per day (bar: # spam, = ham, - exempt)\n";
  *text += "  day            " + formatted("%10s %10s %10s", "ham", "spam", "exempt") +
           "  counted from\n";
  const std::uint64_t largest = largest_day_total(summary.days);
  for (const DayRow& row : summary.days) {
    std::string line = "  " + day_text(row.day) + " " + weekday_text(row.day) + " " +
                       count_columns(row.counts) + "  " +
                       (row.source == DaySource::kCounter ? "counters    " : "activity log");
    const std::string drawn = bar(row.counts, largest);
    if (!drawn.empty()) line += "  " + drawn;
    *text += line + "\n";
  }
  *text += "  total          " + count_columns(summary.total) + "\n";
}

void append_table(const char* title, const std::vector<RankedRow>& rows, std::string* text) {
  *text += "\n";
  *text += title;
  *text += "\n";
  if (rows.empty()) *text += "  none\n";
  for (const RankedRow& row : rows) {
    *text += formatted("  %10" PRIu64 "  ", row.count) + shown_name(row.name) + "\n";
  }
}

}  // namespace

std::string render_text(const ReportSummary& summary) {
  std::string text = "Korvex report, " + day_text(summary.period.first) + " to " +
                     day_text(summary.period.last) + "\n\n";
  append_days(summary, &text);
  append_table("Refusals per rule or list", summary.refusals, &text);
  append_table("Report-only hits per rule", summary.report_only, &text);
  append_table("Deferrals per rule", summary.deferrals, &text);
  append_table("Most refused peer addresses", summary.refused_peers, &text);
  append_table("Most refused sender domains", summary.refused_domains, &text);
  if (summary.unparsed_lines != 0) {
    text += formatted("\n%" PRIu64 " %s not understood, the first in ", summary.unparsed_lines,
                      summary.unparsed_lines == 1 ? "line was" : "lines were") +
            shown_name(summary.first_unparsed_file) +
            formatted(" at line %zu.\n", summary.first_unparsed_line);
  }
  return text;
}

}  // namespace korvex
