// report_tool - korvex-report's command line and the reading of its files. See
// report_tool.h.
#include "report/report_tool.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "plugin/engine.h"
#include "report/activity_files.h"
#include "report/activity_tally.h"
#include "report/report_format.h"
#include "report/report_html.h"
#include "report/report_summary.h"
#include "report/report_text.h"
#include "support/program_info.h"
#include "support/unique_fd.h"

namespace korvex {

namespace {

using std::chrono::sys_days;

// A rotated file last written this long before the period's first midnight holds no line of
// the period, even when the plugin stamped its lines in another time zone.
constexpr std::time_t kModifiedSlack = std::time_t{2} * 24 * 60 * 60;
// The page carries peer addresses and senders' domains from the 0640 activity file.
constexpr mode_t kPageMode = 0640;

struct ReportOptions {
  std::optional<sys_days> since;
  std::optional<sys_days> until;
  std::optional<std::string> html_file;
};

// Says a problem on standard error and, when there is one, in the system log.
class ProblemReporter {
 public:
  ProblemReporter(std::FILE* err, log_function system_log) : err_(err), system_log_(system_log) {}
  void say(int priority, const std::string& text) const {
    (void)std::fprintf(err_, "%s: %s\n", kReportProgram, text.c_str());
    if (system_log_ != nullptr) system_log_(priority, "%s", text.c_str());
  }

 private:
  std::FILE* err_;
  log_function system_log_;
};

sys_days local_date(std::time_t moment) {
  struct tm local = {};
  if (::localtime_r(&moment, &local) == nullptr) return sys_days{};
  return sys_days{std::chrono::year{local.tm_year + 1900} /
                  std::chrono::month{static_cast<unsigned>(local.tm_mon + 1)} /
                  std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
}

std::time_t local_midnight(sys_days day) {
  const std::chrono::year_month_day date{day};
  struct tm midnight = {};
  midnight.tm_year = static_cast<int>(date.year()) - 1900;
  midnight.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  midnight.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  midnight.tm_isdst = -1;
  return std::mktime(&midnight);
}

std::optional<int> usage_error(std::FILE* err) {
  report_usage(err, kReportProgram);
  return kReportUsage;
}

// The options, or the exit status when the command line is done with (help, version, error).
std::optional<int> parse_options(int argc, char* argv[], std::FILE* out, std::FILE* err,
                                 ReportOptions* options) {
  static const option long_options[] = {
      {"since", required_argument, nullptr, 's'}, {"until", required_argument, nullptr, 'u'},
      {"html", required_argument, nullptr, 'H'},  {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},     {nullptr, 0, nullptr, 0}};
  optind = 0;  // full re-initialisation, so the parser can run more than once
  opterr = 0;  // the usage says it all
  for (int option = 0; (option = ::getopt_long(argc, argv, "h", long_options, nullptr)) != -1;) {
    switch (option) {
      case 'h':
        report_usage(out, kReportProgram);
        return kReportMade;
      case 'V':
        print_version(out, kReportProgram);
        return kReportMade;
      case 'H':
        if (*optarg == '\0') return usage_error(err);
        options->html_file = optarg;
        break;
      case 's':
      case 'u': {
        std::optional<sys_days>& date = option == 's' ? options->since : options->until;
        date = parse_report_date(optarg);
        if (date) break;
        (void)std::fprintf(err, "%s: --%s %s: not a date of the form YYYY-MM-DD\n", kReportProgram,
                           option == 's' ? "since" : "until", optarg);
        return usage_error(err);
      }
      default:
        return usage_error(err);
    }
  }
  if (optind < argc) return usage_error(err);
  return std::nullopt;
}

// The period the options name: by default the month up to today, or up to --until.
std::optional<Period> resolve_period(const ReportOptions& options, std::time_t now,
                                     std::FILE* err) {
  const sys_days last = options.until.value_or(local_date(now));
  const std::chrono::year_month_day last_date{last};
  const sys_days first =
      options.since.value_or(sys_days{last_date.year() / last_date.month() / std::chrono::day{1}});
  if (first > last) {
    (void)std::fprintf(err, "%s: the first day %s comes after the last day %s\n", kReportProgram,
                       day_text(first).c_str(), day_text(last).c_str());
    report_usage(err, kReportProgram);
    return std::nullopt;
  }
  return Period{first, last};
}

// Adds the activity files' lines to the tally; true when at least one could be read. A file
// that fails is left out whole, not with the lines read before the failure.
bool tally_activity_files(const ReportSetup& setup, const ProblemReporter& problems,
                          ActivityTally* tally) {
  std::vector<ActivityFile> files;
  std::string problem;
  if (!list_activity_files(setup.log_dir, kActivityFileName, &files, &problem)) {
    problems.say(LOG_ERR, "cannot read " + setup.log_dir + ": " + problem);
    return false;
  }
  const std::time_t period_start = local_midnight(tally->period.first);
  bool any_read = false;
  for (const ActivityFile& file : files) {
    if (file.modified != 0 && file.modified < period_start - kModifiedSlack) {
      any_read = true;  // read enough to know it holds nothing of the period
      continue;
    }
    ActivityTally of_file(tally->period);
    TallySink sink(&of_file, file.path);
    if (!read_activity_file(file, &sink, &problem)) {
      problems.say(LOG_WARNING, "cannot read " + file.path + ": " + problem + "; skipped");
      continue;
    }
    merge_tally(of_file, tally);
    any_read = true;
  }
  return any_read;
}

// The counter files' counts for each day of the period; *any_read tells whether a counter
// file could be read at all.
std::vector<std::optional<DayCounts>> counted_days(const ReportSetup& setup, const Period& period,
                                                   const ProblemReporter& problems,
                                                   bool* any_read) {
  const std::string base = setup.log_dir + "/" + kCounterFileName;
  std::map<unsigned, CounterRead> by_month;
  std::vector<std::optional<DayCounts>> counted;
  counted.reserve(period.days());
  for (sys_days day = period.first; day <= period.last; day += std::chrono::days(1)) {
    const auto month = static_cast<unsigned>(std::chrono::year_month_day{day}.month());
    auto found = by_month.find(month);
    if (found == by_month.end()) {
      const std::string path = counter_file_path(base, static_cast<int>(month));
      found = by_month.emplace(month, read_counter_file(path)).first;
      if (!found->second.problem.empty()) {
        problems.say(LOG_WARNING, "cannot read " + path + ": " + found->second.problem +
                                      "; its days are counted from the activity log");
      }
      if (found->second.file) *any_read = true;
    }
    const CounterRead& read = found->second;
    counted.push_back(read.file ? counter_counts_for(*read.file, day) : std::nullopt);
  }
  return counted;
}

bool write_all(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + written, text.size() - written);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = ENOSPC;
      return false;
    }
    written += static_cast<std::size_t>(wrote);
  }
  return true;
}

// Writes the page beside path and renames it into place, so that a reader never sees half a
// page and a failure leaves the old one. An existing page keeps its mode.
bool write_page(const std::string& path, const std::string& page, std::string* problem) {
  std::string temporary = path + ".XXXXXX";
  unique_fd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) {
    *problem = std::strerror(errno);
    return false;
  }
  struct stat existing = {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)
                          ? (existing.st_mode & 07777)
                          : kPageMode;
  const bool written = ::fchmod(file.get(), mode) == 0 && write_all(file.get(), page) &&
                       ::fsync(file.get()) == 0 && file.close_checked() &&
                       ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!written) {
    *problem = std::strerror(errno);
    (void)::unlink(temporary.c_str());
  }
  return written;
}

}  // namespace

void report_usage(std::FILE* stream, const char* /*program*/) {
  (void)std::fputs(
      "Usage: korvex-report [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--html FILE]\n"
      "Summarises the mail decisions of a period from /var/log/korvex: recipients per day,\n"
      "refusals per rule or list, report-only hits, deferrals, and the most refused peers\n"
      "and sender domains.\n"
      "   --since DATE  first day (default: the first of the month of the last day)\n"
      "   --until DATE  last day (default: today)\n"
      "   --html FILE   write the report to FILE as one HTML page instead of printing it\n"
      "   -h, --help    print this text\n"
      "   --version     print the name and version\n"
      "Exit status: 0 report made, 1 nothing could be read, 2 usage error or report not\n"
      "written.\n",
      stream);
}

std::optional<sys_days> parse_report_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int fields[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int field = 0; field < 3; ++field) {
    for (std::size_t i = starts[field]; i < starts[field] + lengths[field]; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      fields[field] = fields[field] * 10 + (text[i] - '0');
    }
  }
  const std::chrono::year_month_day date{std::chrono::year{fields[0]},
                                         std::chrono::month{static_cast<unsigned>(fields[1])},
                                         std::chrono::day{static_cast<unsigned>(fields[2])}};
  if (!date.ok()) return std::nullopt;
  return sys_days{date};
}

int report_tool(int argc, char* argv[], const ReportSetup& setup, std::FILE* out, std::FILE* err) {
  ReportOptions options;
  if (const std::optional<int> status = parse_options(argc, argv, out, err, &options)) {
    return *status;
  }
  const std::optional<Period> period = resolve_period(options, setup.now, err);
  if (!period) return kReportUsage;
  const ProblemReporter problems(err, setup.system_log);
  ActivityTally tally(*period);
  bool any_read = tally_activity_files(setup, problems, &tally);
  const std::vector<std::optional<DayCounts>> counted =
      counted_days(setup, *period, problems, &any_read);
  const ReportSummary summary = summarise(tally, counted);
  std::string problem;
  if (options.html_file) {
    if (!write_page(*options.html_file, render_html(summary), &problem)) {
      problems.say(LOG_ERR, "cannot write " + *options.html_file + ": " + problem);
      return kReportUsage;
    }
  } else {
    const std::string text = render_text(summary);
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0 ||
        std::ferror(out) != 0) {
      problems.say(LOG_ERR, std::string("cannot write the report: ") + std::strerror(errno));
      return kReportUsage;
    }
  }
  if (!any_read) {
    problems.say(LOG_ERR, "no activity file or counter file could be read in " + setup.log_dir);
    return kReportNothingRead;
  }
  return kReportMade;
}

}  // namespace korvex
