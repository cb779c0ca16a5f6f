// Whole-program tests of korvex-report: the text report of a period from the activity
// file, its rotated plain and compressed copies and the counter file; the command-line
// mistakes and an empty log directory; and the HTML page as a real browser shows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kReport = std::string(kProgramDirectory) + "/korvex-report";
const std::string kLogDir = "/var/log/korvex";
// The counter files' midnights and the default period are local: the runs pin the zone.
const std::vector<std::string> kEnvironment = {"TZ=UTC", "PATH=/usr/bin:/bin"};

// One activity line as the plugin writes it.
std::string line(const std::string& stamp, const std::string& verdict, const std::string& ip,
                 const std::string& from, const std::string& host = "mx.example") {
  return stamp + " korvex-plesk[4242]: " + verdict + ": mua=0,ip=[" + ip + ":" + host + "],helo=<" +
         host + ">,from=<" + from + ">,rcpt=<bob@demo.example>\n";
}

void put_le32(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

// Slot of a day: its midnight and the ham, spam and exempt counts.
void put_slot(std::string* bytes, int day, std::uint32_t midnight, std::uint32_t ham,
              std::uint32_t spam, std::uint32_t exempt) {
  const auto offset = static_cast<std::size_t>(4 + 16 * (day - 1));
  put_le32(bytes, offset, midnight);
  put_le32(bytes, offset + 4, ham);
  put_le32(bytes, offset + 8, spam);
  put_le32(bytes, offset + 12, exempt);
}

const std::string kUsage =
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
    "written.\n";

class ReportRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_REPORT, "korvex-report"));
  }

  // Nine days of December 2026 over three generations of the activity file, a fourth
  // that is damaged, a fifth from before the period, and the month's counter file with
  // the first two days and a slot left over from the year before.
  void lay_out_logs() {
    ASSERT_TRUE(sandbox().place_file(
        kLogDir + "/kxlog.2",
        line("2026-11-28 10:00:00", "SPAM[ip_blacklist]", "203.0.113.5", "x@spam.example") +
            line("2026-12-01 09:00:00", "HAM", "192.0.2.10", "alice@partner.example") +
            line("2026-12-01 09:01:00", "SPAM[block_lists:bl.example]", "192.0.2.66",
                 "news@Listed.Example") +
            line("2026-12-02 11:00:00", "SPAM[ip_blacklist]", "203.0.113.5",
                 "offers@spam.example")));
    const RunResult zipped = sandbox().run({"/bin/gzip", "-9n", kLogDir + "/kxlog.2"});
    ASSERT_TRUE(zipped.exited_with(0)) << zipped.describe();
    ASSERT_TRUE(sandbox().place_file(kLogDir + "/kxlog.3.gz", "never compressed\n"));
    // Last written well before the period: not even opened, so its damage goes unnoticed.
    ASSERT_TRUE(sandbox().place_file(kLogDir + "/kxlog.4.gz", "damaged\n"));
    const RunResult aged =
        sandbox().run({"/usr/bin/touch", "-d", "2026-11-20 12:00", kLogDir + "/kxlog.4.gz"},
                      {.env = kEnvironment});
    ASSERT_TRUE(aged.exited_with(0)) << aged.describe();
    ASSERT_TRUE(sandbox().place_file(
        kLogDir + "/kxlog.1",
        line("2026-12-03 08:00:00", "HAM", "192.0.2.10", "alice@partner.example") +
            line("2026-12-03 08:05:00", "HAM", "192.0.2.10", "alice@partner.example") +
            line("2026-12-03 08:10:00", "SPAM[block_lists:bl.example]", "192.0.2.66",
                 "news@listed.example") +
            line("2026-12-04 12:00:00", "SPAM[from_blacklist]", "192.0.2.10",
                 "offers@spam.example") +
            line("2026-12-04 12:30:00", "IP_EXEMPT", "198.51.100.7", "offers@spam.example") +
            line("2026-12-05 07:00:00", "REPORT[check_dynamic_reverse_dns]", "198.51.100.23",
                 "joe@isp.example") +
            line("2026-12-05 07:00:00", "HAM", "198.51.100.23", "joe@isp.example") +
            line("2026-12-06 14:00:00", "TEMPFAIL[resolve_helo_domain]", "192.0.2.77",
                 "deals@mailer.example") +
            line("2026-12-06 14:00:00", "HAM", "192.0.2.77", "deals@mailer.example") +
            line("2026-12-07 16:00:00", "SPAM[check_ip_reverse_dns]", "203.0.113.44",
                 "ann@nowhere.example", "") +
            line("2026-12-07 16:10:00", "RCPT_EXEMPT", "192.0.2.10", "offers@spam.example") +
            line("2026-12-07 16:20:00", "FROM_WHITELIST", "192.0.2.10", "partner@ok.example")));
    ASSERT_TRUE(sandbox().place_file(
        kLogDir + "/kxlog",
        line("2026-12-08 09:00:00", "SPAM[ip_blacklist]", "2001:db8:bad::5",
             "carol@partner.example", "mx6.blocked.example") +
            line("2026-12-08 09:30:00", "SPAM[block_lists:bl.example]", "192.0.2.66",
                 "news@listed.example") +
            "Dec  8 10:00:01 mx postfix/smtpd[99]: connect from unknown\n" +
            line("2026-12-09 06:00:00", "HAM", "192.0.2.10", "alice@partner.example") +
            line("2026-12-09 06:10:00", "SPAM[valid_helo_domain]", "192.0.2.10",
                 "alice@partner.example", "localhost") +
            line("2026-12-09 06:20:00", "SPAM[ip_blacklist]", "203.0.113.5", "") +
            line("2026-12-10 00:00:01", "HAM", "192.0.2.10", "alice@partner.example")));
    std::string counters(500, '\0');
    put_slot(&counters, 1, 1796083200, 120, 30, 4);     // 2026-12-01 00:00 UTC
    put_slot(&counters, 2, 1796169600, 80, 20, 0);      // 2026-12-02
    put_slot(&counters, 5, 1764892800, 999, 999, 999);  // 2025-12-05: not this year's
    ASSERT_TRUE(sandbox().place_file(kLogDir + "/.counter.dat.12", counters, 0640));
  }

  RunResult report(std::vector<std::string> args) {
    args.insert(args.begin(), kReport);
    return sandbox().run(args, {.env = kEnvironment});
  }
};

TEST_F(ReportRun, SummarisesThePeriodFromEveryGenerationAndTheCounters) {
  if (!has_sandbox()) return;
  lay_out_logs();
  const RunResult run = report({"--since", "2026-12-01", "--until=2026-12-09"});
  EXPECT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out,
            "Korvex report, 2026-12-01 to 2026-12-09\n"
            "\n"
            "Recipients per day (bar: # spam, = ham, - exempt)\n"
            "  day                   ham       spam     exempt  counted from\n"
            "  2026-12-01 Tue        120         30          4  counters      "
            "########===============================-\n"
            "  2026-12-02 Wed         80         20          0  counters      "
            "#####=====================\n"
            "  2026-12-03 Thu          2          1          0  activity log  =\n"
            "  2026-12-04 Fri          0          1          1  activity log  -\n"
            "  2026-12-05 Sat          1          0          0  activity log\n"
            "  2026-12-06 Sun          1          0          0  activity log\n"
            "  2026-12-07 Mon          0          1          2  activity log  -\n"
            "  2026-12-08 Tue          0          2          0  activity log  #\n"
            "  2026-12-09 Wed          1          2          0  activity log  #\n"
            "  total                 205         57          7\n"
            "\n"
            "Refusals per rule or list\n"
            "           3  block_lists:bl.example\n"
            "           3  ip_blacklist\n"
            "           1  check_ip_reverse_dns\n"
            "           1  from_blacklist\n"
            "           1  valid_helo_domain\n"
            "\n"
            "Report-only hits per rule\n"
            "           1  check_dynamic_reverse_dns\n"
            "\n"
            "Deferrals per rule\n"
            "           1  resolve_helo_domain\n"
            "\n"
            "Most refused peer addresses\n"
            "           3  192.0.2.66\n"
            "           2  192.0.2.10\n"
            "           2  203.0.113.5\n"
            "           1  2001:db8:bad::5\n"
            "           1  203.0.113.44\n"
            "\n"
            "Most refused sender domains\n"
            "           3  listed.example\n"
            "           2  partner.example\n"
            "           2  spam.example\n"
            "           1  <>\n"
            "           1  nowhere.example\n"
            "\n"
            "1 line was not understood, the first in /var/log/korvex/kxlog at line 3.\n");
  EXPECT_EQ(run.err,
            "korvex-report: cannot read /var/log/korvex/kxlog.3.gz: not in gzip format; "
            "skipped\n");
  ASSERT_EQ(run.syslog.size(), 1U);
  EXPECT_EQ(run.syslog[0].describe(),
            "mail.warning korvex-report: cannot read /var/log/korvex/kxlog.3.gz: not in gzip "
            "format; skipped");
}

TEST_F(ReportRun, RefusesBadCommandLinesAndSaysWhenNothingCouldBeRead) {
  if (!has_sandbox()) return;
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"--since", "2026-13-01"},
       "korvex-report: --since 2026-13-01: not a date of the form YYYY-MM-DD\n"},
      {{"--until", "2026-12-9"},
       "korvex-report: --until 2026-12-9: not a date of the form YYYY-MM-DD\n"},
      {{"--since", "2026-12-09", "--until", "2026-12-01"},
       "korvex-report: the first day 2026-12-09 comes after the last day 2026-12-01\n"},
      {{"--html"}, ""},
      {{"--html", ""}, ""},
      {{"-x"}, ""},
      {{"yesterday"}, ""},
  };
  for (const auto& [args, before_usage] : mistakes) {
    SCOPED_TRACE(args[0]);
    const RunResult refused = report(args);
    EXPECT_TRUE(refused.exited_with(2)) << refused.describe();
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, before_usage + kUsage);
  }

  // Nothing written yet: an empty report of the month so far, and a status that says so.
  const std::time_t now = std::time(nullptr);
  struct tm today = {};
  ASSERT_NE(gmtime_r(&now, &today), nullptr);
  std::string days;
  for (int day = 1; day <= today.tm_mday; ++day) {
    char row[96];
    struct tm date = today;
    date.tm_mday = day;
    (void)timegm(&date);
    (void)std::strftime(row, sizeof row, "  %Y-%m-%d %a ", &date);
    days += std::string(row) + "         0          0          0  activity log\n";
  }
  char month[16];
  (void)std::strftime(month, sizeof month, "%Y-%m-", &today);
  char last[16];
  (void)std::strftime(last, sizeof last, "%Y-%m-%d", &today);
  const RunResult empty = report({});
  EXPECT_TRUE(empty.exited_with(1)) << empty.describe();
  EXPECT_EQ(empty.out, "Korvex report, " + std::string(month) + "01 to " + last +
                           "\n\n"
                           "Recipients per day (bar: # spam, = ham, - exempt)\n"
                           "  day                   ham       spam     exempt  counted from\n" +
                           days +
                           "  total                   0          0          0\n"
                           "\nRefusals per rule or list\n  none\n"
                           "\nReport-only hits per rule\n  none\n"
                           "\nDeferrals per rule\n  none\n"
                           "\nMost refused peer addresses\n  none\n"
                           "\nMost refused sender domains\n  none\n");
  EXPECT_EQ(empty.err,
            "korvex-report: no activity file or counter file could be read in /var/log/korvex\n");
  ASSERT_EQ(empty.syslog.size(), 1U);
  EXPECT_EQ(empty.syslog[0].describe(),
            "mail.err korvex-report: no activity file or counter file could be read in "
            "/var/log/korvex");
}

// What a PNG file says its size is: the width and height of its header chunk.
std::optional<std::pair<std::uint32_t, std::uint32_t>> png_size(const std::string& png) {
  const std::string signature = "\x89PNG\r\n\x1a\n";
  if (png.size() < 24 || png.compare(0, 8, signature) != 0 || png.compare(12, 4, "IHDR") != 0) {
    return std::nullopt;
  }
  const auto be32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
      value = value << 8 | static_cast<unsigned char>(png[at + i]);
    return value;
  };
  return std::make_pair(be32(16), be32(20));
}

TEST_F(ReportRun, WritesAPageABrowserShowsWithoutNetwork) {
  if (!has_sandbox()) return;
  lay_out_logs();
  const RunResult written =
      report({"--since", "2026-12-01", "--until", "2026-12-09", "--html", "/tmp/report.html"});
  ASSERT_TRUE(written.exited_with(0)) << written.describe();
  EXPECT_EQ(written.out, "");
  const std::optional<std::string> page = sandbox().read_file("/tmp/report.html");
  ASSERT_TRUE(page.has_value());
  // Self-contained: nothing a browser would fetch, nothing it would run.
  for (const char* outside : {"<script", "<link", "<img", "<iframe", "src=", "href=", "url(",
                              "@import", "http://www.", "https:"}) {
    EXPECT_EQ(page->find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(page->find("<svg"), std::string::npos);
  EXPECT_NE(page->find("<td>block_lists:bl.example</td>"), std::string::npos);
  EXPECT_NE(page->find("<td>&lt;&gt;</td>"), std::string::npos);  // the bounce, escaped
  ASSERT_TRUE(
      sandbox().place_file("/tmp/empty.html", "<!DOCTYPE html><html><body></body></html>\n"));

  // The browser needs a home and a profile it may write; it runs as root here.
  ASSERT_TRUE(sandbox().make_directory("/tmp/home", 0700));
  std::vector<std::string> shots;
  for (const std::string name : {"report", "empty"}) {
    SCOPED_TRACE(name);
    const std::string png = "/tmp/" + name + ".png";
    const RunResult shot = sandbox().run(
        {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
         "--user-data-dir=/tmp/profile-" + name, "--screenshot=" + png, "--window-size=1000,800",
         "file:///tmp/" + name + ".html"},
        {.env = {"HOME=/tmp/home", "PATH=/usr/bin:/bin", "TMPDIR=/tmp"}, .timeout_seconds = 120});
    ASSERT_TRUE(shot.exited_with(0)) << shot.describe();
    const std::optional<std::string> image = sandbox().read_file(png);
    ASSERT_TRUE(image.has_value()) << shot.describe();
    EXPECT_EQ(png_size(*image), std::make_pair(1000U, 800U));
    shots.push_back(*image);
  }
  // An empty page renders as one flat colour; the report must not look like it.
  EXPECT_NE(shots[0], shots[1]);
  EXPECT_GT(shots[0].size(), shots[1].size());
}

}  // namespace
}  // namespace korvex::testing
