// Pattern-list matching against a published list of 1,526 dynamic-host expressions, turned
// into our list format (a "#" header, then one expression per line) before the tests run.

#include <gtest/gtest.h>
#include <syslog.h>

#include <fstream>
#include <string>
#include <vector>

#include "plugin/checks/reverse_dns.h"
#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using checks_test::ScopedEnv;
using checks_test::ScriptedChecks;
using checks_test::TempDir;
using ::korvex::testing::LoggedLine;

const char kPublishedList[] = KORVEX_SOURCE_DIR "/../shared/data/fqrdns.pcre";

// "/REGEX/<blanks>REJECT<blanks>text" becomes REGEX; comments, blank lines, the lookup
// table's if/endif blocks and its whitelisting (DUNNO) rules are left out.
std::vector<std::string> rejecting_expressions(std::ifstream& in) {
  std::vector<std::string> expressions;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() != '/') continue;
    const std::size_t end = line.find_first_of(" \t");
    if (end == std::string::npos || end < 2 || line[end - 1] != '/') continue;
    const std::size_t action = line.find_first_not_of(" \t", end);
    if (action == std::string::npos || line.compare(action, 6, "REJECT") != 0) continue;
    expressions.push_back(line.substr(1, end - 2));
  }
  return expressions;
}

class PublishedDynamicHostList : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream in(kPublishedList);
    if (!in) GTEST_SKIP() << "no published list at " << kPublishedList;
    expressions_ = rejecting_expressions(in);
    ASSERT_EQ(expressions_.size(), 1526u);
    path_ = dir_.path() + "/dyna.regexes";
    std::ofstream out(path_);
    out << "# dynamic-host expressions\n";
    for (const auto& expression : expressions_) out << expression << '\n';
  }

  ScriptedChecks script_;
  TempDir dir_;
  std::string path_;
  std::vector<std::string> expressions_;
};

TEST_F(PublishedDynamicHostList, EveryExpressionCompilesAndTheFirstMatchIsReported) {
  EXPECT_EQ(
      checkRegexList(script_.context, path_, "mail.example.com", ::korvex::testing::capture_sink),
      0);
  EXPECT_EQ(checkRegexList(script_.context, path_, "smtp-out.relay.example.org",
                           ::korvex::testing::capture_sink),
            0);
  EXPECT_EQ(script_.lines(), std::vector<LoggedLine>{});  // no compile warnings

  EXPECT_EQ(checkRegexList(script_.context, path_, "out-ab-12.wireless.telus.com",
                           ::korvex::testing::capture_sink),
            1);
  EXPECT_EQ(
      checkRegexList(script_.context, path_, "ADSL.viettel.vn", ::korvex::testing::capture_sink),
      1);
  EXPECT_EQ(checkRegexList(script_.context, path_, "1-2-3-4.pool.nctc.com",
                           ::korvex::testing::capture_sink),
            1);
  EXPECT_EQ(
      script_.lines(),
      (std::vector<LoggedLine>{
          {LOG_DEBUG, "checkRegexList(" + path_ + ", line 2): hit [out-ab-12.wireless.telus.com][" +
                          expressions_[0] + "]"},
          {LOG_DEBUG,
           "checkRegexList(" + path_ + ", line 4): hit [ADSL.viettel.vn][" + expressions_[2] + "]"},
          {LOG_DEBUG, "checkRegexList(" + path_ + ", line 5): hit [1-2-3-4.pool.nctc.com][" +
                          expressions_[3] + "]"}}));
}

TEST_F(PublishedDynamicHostList, DecidesTheDynamicReverseDnsRule) {
  script_.context.dsl_regex_filename = path_;
  ScopedEnv no_remote_host("TCPREMOTEHOST", std::nullopt);
  SessionState state;
  state.ip = "192.0.2.1";
  state.remote_host = "host-10-20.cable.dynamic.kbtelecom.net";
  EXPECT_EQ(check_dynamic_reverse_dns(script_.context, state), HIT);
  state.remote_host = "mx.example.net";
  EXPECT_EQ(check_dynamic_reverse_dns(script_.context, state), DUNNO);
  // The list answers for itself: a name it does not know is not dynamic, even where the
  // built-in pattern would say so.
  state.remote_host = "dsl-203-0-113-5.example.net";
  EXPECT_EQ(check_dynamic_reverse_dns(script_.context, state), DUNNO);
}

}  // namespace
}  // namespace korvex
