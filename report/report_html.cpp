// report_html - the HTML page. See report_html.h.
//
// Every name on the page comes from the activity log, that is from SMTP clients: all of it
// goes through html_escaped, and the page's own policy forbids anything but its inline
// style, so no value can make the browser fetch or run anything.
#include "report/report_html.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "report/report_format.h"

namespace korvex {

namespace {

constexpr int kChartWidth = 900;
constexpr int kChartHeight = 260;
constexpr int kPlotLeft = 60;
constexpr int kPlotTop = 16;
constexpr int kPlotWidth = 820;
constexpr int kPlotHeight = 200;
// Up to two months every day is labelled; beyond, every n-th so that labels do not overlap.
constexpr std::size_t kLabelledDays = 62;

constexpr const char* kSpamColour = "#c0392b";
constexpr const char* kHamColour = "#2e86c1";
constexpr const char* kExemptColour = "#95a5a6";

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatted(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::array<char, 512> text{};
  const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  return length < 0 ? std::string() : std::string(text.data());
}

std::string number(std::uint64_t value) { return formatted("%" PRIu64, value); }

void append_rect(double x, double width, std::uint64_t bottom, std::uint64_t height,
                 const char* colour, std::string* page) {
  if (height == 0) return;
  *page += formatted("<rect x=\"%.1f\" y=\"%" PRIu64 "\" width=\"%.1f\" height=\"%" PRIu64
                     "\" fill=\"%s\"/>\n",
                     x, bottom - height, width, height, colour);
}

void append_chart(const ReportSummary& summary, std::string* page) {
  const std::uint64_t largest = largest_day_total(summary.days);
  const std::size_t count = summary.days.size();
  const double slot = static_cast<double>(kPlotWidth) / static_cast<double>(count);
  const std::size_t label_every = count <= kLabelledDays ? 1 : (count + 30) / 31;
  const std::uint64_t plot_bottom = std::uint64_t{kPlotTop} + kPlotHeight;
  *page += formatted(
      "<svg width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
      "%d\" role=\"img\" aria-label=\"Recipients per day\">\n",
      kChartWidth, kChartHeight, kChartWidth, kChartHeight);
  *page += formatted(
      "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#888\"/>\n"
      "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#ddd\"/>\n"
      "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"12\">%s</text>\n"
      "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"12\">0</text>\n",
      kPlotLeft, kPlotTop + kPlotHeight, kPlotLeft + kPlotWidth, kPlotTop + kPlotHeight, kPlotLeft,
      kPlotTop, kPlotLeft + kPlotWidth, kPlotTop, kPlotLeft - 6, kPlotTop + 4,
      number(largest).c_str(), kPlotLeft - 6, kPlotTop + kPlotHeight + 4);
  for (std::size_t index = 0; index < count; ++index) {
    const DayRow& row = summary.days[index];
    const double x = kPlotLeft + slot * static_cast<double>(index) + slot * 0.1;
    const double width = slot * 0.8;
    const BarParts parts = bar_parts(row.counts, largest, kPlotHeight);
    append_rect(x, width, plot_bottom, parts.spam, kSpamColour, page);
    append_rect(x, width, plot_bottom - parts.spam, parts.ham, kHamColour, page);
    append_rect(x, width, plot_bottom - parts.spam - parts.ham, parts.exempt, kExemptColour, page);
    if (index % label_every != 0) continue;
    const std::chrono::year_month_day date{row.day};
    *page +=
        formatted("<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" font-size=\"11\">%u</text>\n",
                  x + width / 2, kPlotTop + kPlotHeight + 16, static_cast<unsigned>(date.day()));
  }
  *page += formatted(
      "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" fill=\"%s\"/><text x=\"%d\" y=\"%d\" "
      "font-size=\"12\">spam</text>\n"
      "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" fill=\"%s\"/><text x=\"%d\" y=\"%d\" "
      "font-size=\"12\">ham</text>\n"
      "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" fill=\"%s\"/><text x=\"%d\" y=\"%d\" "
      "font-size=\"12\">exempt</text>\n",
      kPlotLeft, kChartHeight - 14, kSpamColour, kPlotLeft + 14, kChartHeight - 5, kPlotLeft + 70,
      kChartHeight - 14, kHamColour, kPlotLeft + 84, kChartHeight - 5, kPlotLeft + 140,
      kChartHeight - 14, kExemptColour, kPlotLeft + 154, kChartHeight - 5);
  *page += "</svg>\n";
}

void append_day_table(const ReportSummary& summary, std::string* page) {
  *page +=
      "<table>\n<tr><th>Day</th><th>Ham</th><th>Spam</th><th>Exempt</th><th>Counted "
      "from</th></tr>\n";
  for (const DayRow& row : summary.days) {
    *page += "<tr><td>" + day_text(row.day) + " " + weekday_text(row.day) +
             "</td><td class=\"n\">" + number(row.counts.ham) + "</td><td class=\"n\">" +
             number(row.counts.spam) + "</td><td class=\"n\">" + number(row.counts.exempt) +
             "</td><td>" + (row.source == DaySource::kCounter ? "counters" : "activity log") +
             "</td></tr>\n";
  }
  *page += "<tr class=\"total\"><td>Total</td><td class=\"n\">" + number(summary.total.ham) +
           "</td><td class=\"n\">" + number(summary.total.spam) + "</td><td class=\"n\">" +
           number(summary.total.exempt) + "</td><td></td></tr>\n</table>\n";
}

void append_table(const char* title, const char* name_heading, const std::vector<RankedRow>& rows,
                  std::string* page) {
  *page += std::string("<h2>") + title + "</h2>\n";
  if (rows.empty()) {
    *page += "<p>None.</p>\n";
    return;
  }
  *page += std::string("<table>\n<tr><th>Count</th><th>") + name_heading + "</th></tr>\n";
  for (const RankedRow& row : rows) {
    *page += "<tr><td class=\"n\">" + number(row.count) + "</td><td>" +
             html_escaped(shown_name(row.name)) + "</td></tr>\n";
  }
  *page += "</table>\n";
}

}  // namespace

std::string html_escaped(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
  }
  return escaped;
}

std::string render_html(const ReportSummary& summary) {
  const std::string title =
      "Korvex report, " + day_text(summary.period.first) + " to " + day_text(summary.period.last);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src "
      "'unsafe-inline'\">\n<title>" +
      title +
      "</title>\n<style>\n"
      "body { font-family: sans-serif; margin: 24px; color: #222; background: #fff; }\n"
      "h1 { font-size: 22px; } h2 { font-size: 17px; margin-top: 28px; }\n"
      "table { border-collapse: collapse; }\n"
      "th, td { padding: 2px 10px; border-bottom: 1px solid #ddd; text-align: left; }\n"
      "td.n { text-align: right; font-variant-numeric: tabular-nums; }\n"
      "tr.total td { font-weight: bold; }\n"
      "</style>\n</head>\n<body>\n<h1>" +
      title + "</h1>\n<h2>Recipients per day</h2>\n";
  append_chart(summary, &page);
  append_day_table(summary, &page);
  append_table("Refusals per rule or list", "Rule or list", summary.refusals, &page);
  append_table("Report-only hits per rule", "Rule", summary.report_only, &page);
  append_table("Deferrals per rule", "Rule", summary.deferrals, &page);
  append_table("Most refused peer addresses", "Peer address", summary.refused_peers, &page);
  append_table("Most refused sender domains", "Sender domain", summary.refused_domains, &page);
  if (summary.unparsed_lines != 0) {
    page += "<p>" + number(summary.unparsed_lines) +
            (summary.unparsed_lines == 1 ? " line was" : " lines were") +
            " not understood, the first in " +
            html_escaped(shown_name(summary.first_unparsed_file)) + " at line " +
            number(summary.first_unparsed_line) + ".</p>\n";
  }
  page += "</body>\n</html>\n";
  return page;
}

}  // namespace korvex
