// report_html - the report as one self-contained HTML page: the days as an inline SVG bar
// chart and a table, then the same tables as the text report. No script and nothing
// fetched from elsewhere: the page shows the same on a machine without network.
//
// Exports: render_html, html_escaped.
#pragma once

#include <string>
#include <string_view>

#include "report/report_summary.h"

namespace korvex {

// render_html - the whole page.
std::string render_html(const ReportSummary& summary);

// html_escaped - text fit for an HTML element or a quoted attribute: the markup
// characters as entities, control bytes as "?".
std::string html_escaped(std::string_view text);

}  // namespace korvex
