#include "support/qv_rfc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/qv_rfc_internal.h"
#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::located_lines;
using testing::LogCapture;
using testing::VerboseDebug;
using Lines = std::vector<std::string>;

const std::string kDebug = "7 qv_rfc DEBUG ";

// The qv_rfc debug lines only (the routines beneath trace their own steps too).
Lines rfc_debug_lines(const LogCapture& capture) {
  Lines result;
  for (const std::string& line : located_lines(capture)) {
    if (line.rfind(kDebug, 0) == 0) result.push_back(line.substr(kDebug.size()));
  }
  return result;
}

TEST(QvRfc, IpAddressesAreDottedQuadsOtherThanZeroAndAllOnes) {
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_TRUE(qv_is_ip("192.0.2.1"));
  EXPECT_FALSE(qv_is_ip("192.0.2"));
  EXPECT_FALSE(qv_is_ip("192.0.2.1x"));
  EXPECT_FALSE(qv_is_ip("0.0.0.0"));
  EXPECT_FALSE(qv_is_ip("255.255.255.255"));
  EXPECT_FALSE(qv_is_ip(""));
  EXPECT_EQ(rfc_debug_lines(capture),
            (Lines{"qv_is_ip(): [192.0.2.1] is an ip", "qv_is_ip(): [192.0.2] invalid 'dot' count",
                   "qv_is_ip(): does not start or end with a number - not an ip",
                   "qv_is_ip(): [0.0.0.0] is not an ip address",
                   "qv_is_ip(): [255.255.255.255] is not an ip address"}));
  EXPECT_EQ(located_lines(capture).back(), "3 qv_rfc ERROR qv_is_ip(): Invalid argument");
}

TEST(QvRfc, DomainsFailOnTheFirstBrokenRule) {
  LogCapture capture;
  VerboseDebug verbose;
  for (const char* good : {"a.b", "1st.example", "mail-1.example.org"}) {
    EXPECT_TRUE(qv_valid_domain(good)) << good;
  }
  for (const char* bad : {"ab", ".ab", "ab.", "192.0.2.1", "a..b", "a_b.example"}) {
    EXPECT_FALSE(qv_valid_domain(bad)) << bad;
  }
  EXPECT_FALSE(qv_valid_domain(nullptr));
  const std::string minimum =
      "] does not meet minimum criteria for length, number of dots, first character, or last "
      "character";
  EXPECT_EQ(
      rfc_debug_lines(capture),
      (Lines{"qv_is_ip(): does not start or end with a number - not an ip",
             "qv_valid_domain(): domain [ab" + minimum, "qv_valid_domain(): domain [.ab" + minimum,
             "qv_valid_domain(): domain [ab." + minimum, "qv_is_ip(): [192.0.2.1] is an ip",
             "qv_valid_domain(): [192.0.2.1] is an IP address",
             "qv_valid_domain(): domain [a..b] contains consecutive '.' characters",
             "qv_valid_domain(): domain [a_b.example] contains invalid characters",
             "qv_valid_domain(): domain [(null)" + minimum}));
}

TEST(QvRfc, EmailAddressesNeedAnAllowedLocalPartAndAValidDomain) {
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_TRUE(qv_valid_email_address("first+tag@example.com"));
  EXPECT_TRUE(qv_valid_email_address("o'neil!#$%&*/=?^_`{|}~-x@mail.example"));
  const std::string long_domain = "a@" + std::string(251, 'b') + ".com";  // 255 after the @
  const std::vector<std::pair<std::string, std::string>> refused{
      {"nobody", "address [nobody] missing '@' character"},
      {"@example.com", "address [@example.com] missing user portion"},
      {long_domain, "domain portion is greater than RFC specifications permit"},
      {"a@", "invalid domain part for address [a@]"},
      {".a@example.com", "address [.a@example.com] violates RFC pattern specifications"},
      {"a.@example.com", "address [a.@example.com] violates RFC pattern specifications"},
      {"a..b@example.com", "address [a..b@example.com] violates RFC pattern specifications"},
      {"a,b@example.com", "address [a,b@example.com] contains invalid characters"},
  };
  for (const auto& [address, reason] : refused) {
    capture.clear();
    EXPECT_FALSE(qv_valid_email_address(address.c_str())) << address;
    // The first broken rule decides; an over-long domain is not examined at all.
    EXPECT_EQ(rfc_debug_lines(capture), (Lines{"qv_valid_email_address(): " + reason}));
  }
  capture.clear();
  EXPECT_FALSE(qv_valid_email_address("a@b..example"));
  EXPECT_EQ(rfc_debug_lines(capture).back(),
            "qv_valid_email_address(): invalid domain part for address [a@b..example]");
  EXPECT_FALSE(qv_valid_email_address(""));
  EXPECT_EQ(located_lines(capture).back(),
            "3 qv_rfc ERROR qv_valid_email_address(): Invalid argument");
}

TEST(QvRfc, HeaderAddressesAreJudgedWithTheirReasons) {
  LogCapture capture;
  VerboseDebug verbose;
  struct Case {
    const char* header;
    int verdict;
    int bracketed;
    std::string last_reason;
  };
  const std::string kQuoteEnd = "__qv_parse_quotes(): found end of quote marker: incrementing";
  const std::vector<Case> cases{
      {"\"Doe, John\" <john@example.com>", 1, 1, kQuoteEnd},
      {"\"Jo \\\"Q\\\" Doe\" (work) <j@example.com> (home)", 1, 1, kQuoteEnd},
      {"<>", 1, 1,
       "__qv_parse_rfc_address(): RFC address portion detected as empty. Passing "
       "as bounce"},
      {"(the (nested) boss) boss@example.com ", 1, 0,
       "__qv_parse_comment(): Found nested comment.. re looping"},
      {"", 1, 0,
       "qv_rfc822_email_address(): argument is empty or NULL, returning true in the "
       "event this is a Mailer-Daemon bounce"},
      {"\"John\" john@example.com", 0, 0, "qv_rfc822_email_address(): Quotes require RFC braces"},
      {"\"John\"", 0, 0, "qv_rfc822_email_address(): invalid quoted phrase"},
      {"<a@example.com> <b@example.com>", 0, 0,
       "qv_rfc822_email_address(): RFC address already found once.. we won't accept another"},
      {"a@example.com <b@example.com>", 0, 0,
       "qv_rfc822_email_address(): Found unquoted '@' symbol outside of email address"},
      {"<a@example.com> \"x\"", 0, 0, "qv_rfc822_email_address(): found quotes after RFC address"},
      {"a;b@example.com", 0, 0,
       "qv_rfc822_email_address(): Invalid character ; found in raw address"},
      {"a\t@example.com", 0, 0,
       "qv_rfc822_email_address(): non-printable character found in address"},
      {"(open a@example.com", 0, 0, "qv_rfc822_email_address(): comment parse failed"},
      {"<a@example.com", 0, 0, "qv_rfc822_email_address(): RFC address parse failed"},
      {"<nobody>", 0, 0, "qv_rfc822_email_address(): RFC address parse failed"},
      {"x (note) y@example.com", 0, 0,
       "qv_valid_email_address(): address [x  y@example.com] contains invalid characters"},
  };
  for (const Case& test : cases) {
    capture.clear();
    int bracketed = 0;
    EXPECT_EQ(qv_rfc822_email_address(test.header, &bracketed), test.verdict) << test.header;
    EXPECT_EQ(bracketed, test.bracketed) << test.header;
    const Lines lines = rfc_debug_lines(capture);
    EXPECT_EQ(lines.empty() ? "" : lines.back(), test.last_reason) << test.header;
  }
  capture.clear();
  EXPECT_EQ(qv_rfc822_email_address("\"John\"", nullptr), 0);
  EXPECT_EQ(rfc_debug_lines(capture),
            (Lines{"__qv_parse_quotes(): found end of quote marker: incrementing",
                   "__qv_parse_quotes(): found illegal quotation at end of address",
                   "qv_rfc822_email_address(): invalid quoted phrase"}));
}

TEST(QvRfc, ParsingStepsReportPositionsAndCutComments) {
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_EQ(__qv_parse_quotes("x\"a\\\\\"b", 1), 6u);  // two backslashes escape each other
  EXPECT_EQ(__qv_parse_quotes("\"a\\\"b", 0), std::nullopt);
  EXPECT_EQ(__qv_parse_quotes("\"a\x01\"b", 0), std::nullopt);

  std::string text = "a(b(c\\)d)e)f";
  std::size_t resume = 99;
  EXPECT_TRUE(__qv_parse_comment(&text, 1, &resume));
  EXPECT_EQ(text, "af");
  EXPECT_EQ(resume, 1u);
  text = "(never (closed)";
  EXPECT_FALSE(__qv_parse_comment(&text, 0, &resume));
  EXPECT_EQ(text, "(never (closed)");

  std::size_t after = 0;
  EXPECT_TRUE(__qv_parse_rfc_address("x< a@example.com >y", 1, &after));
  EXPECT_EQ(after, 18u);
  EXPECT_FALSE(__qv_parse_rfc_address("<a@example.com", 0, &after));
  EXPECT_EQ(rfc_debug_lines(capture),
            (Lines{"__qv_parse_quotes(): found end of quote marker: incrementing",
                   "__qv_parse_quotes(): found illegal quotation at end of address",
                   "__qv_parse_quotes(): Found non printable character",
                   "__qv_parse_comment(): Found nested comment.. re looping",
                   "__qv_parse_comment(): found escape character, next character is exempt",
                   "__qv_parse_comment(): Found nested comment.. re looping",
                   "__qv_parse_rfc_address(): missing closing '>' for rfc address"}));
  capture.clear();
  EXPECT_EQ(__qv_parse_quotes("x", 0), std::nullopt);
  EXPECT_FALSE(__qv_parse_comment(&text, 1, &resume));
  EXPECT_FALSE(__qv_parse_rfc_address("a", 0, &after));
  EXPECT_EQ(located_lines(capture),
            (Lines{"3 qv_rfc ERROR __qv_parse_quotes(): Invalid argument",
                   "3 qv_rfc ERROR __qv_parse_comment(): Invalid argument",
                   "3 qv_rfc ERROR __qv_parse_rfc_address(): Invalid argument"}));
}

TEST(QvRfc, SplitAtCommasOutsideQuotesAndComments) {
  const qv_list addresses = qv_split_addresses(
      "\"Doe, \\\"J\\\"\" <j@example.com>,\t(x, (y, z)) a@example.com ,, "
      "c@example.com   (\\), q) ,");
  std::vector<std::pair<std::string, std::size_t>> pieces;
  for (const auto& entry : addresses) {
    pieces.emplace_back(static_cast<const char*>(entry->data), entry->size);
  }
  EXPECT_EQ(pieces, (std::vector<std::pair<std::string, std::size_t>>{
                        {"\"Doe, \\\"J\\\"\" <j@example.com>", 29},
                        {"(x, (y, z)) a@example.com", 26},
                        {"c@example.com (\\), q)", 22}}));
  EXPECT_TRUE(qv_split_addresses("").empty());
  EXPECT_TRUE(qv_split_addresses(nullptr).empty());
  EXPECT_TRUE(qv_split_addresses(" , ").empty());
}

}  // namespace
}  // namespace korvex
