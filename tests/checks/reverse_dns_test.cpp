#include "plugin/checks/reverse_dns.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/checks/checks_internal.h"
#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using checks_test::ScopedEnv;
using checks_test::ScriptedChecks;
using checks_test::TempDir;
using checks_test::write_file;
using ::korvex::testing::LoggedLine;
using Lines = std::vector<LoggedLine>;

class ReverseDnsTest : public ::testing::Test {
 protected:
  std::string list(const std::string& name, const std::string& text) {
    const std::string path = dir_.path() + "/" + name;
    write_file(path, text);
    return path;
  }

  ScriptedChecks script_;
  ScopedEnv no_remote_host_{"TCPREMOTEHOST", std::nullopt};
  TempDir dir_;
  CheckContext& context_ = script_.context;
};

TEST(DottedQuad, ExactlyThreeDotsThatInetAtonAccepts) {
  EXPECT_EQ(isDottedQuad(std::string("192.0.2.1")), 1);
  EXPECT_EQ(isDottedQuad(std::string("0x7f.0.0.01")), 1);  // inet_aton's own spellings
  EXPECT_EQ(isDottedQuad(std::string("1.2.3")), 0);        // inet_aton would take it
  EXPECT_EQ(isDottedQuad(std::string("1.2.3.4.")), 0);
  EXPECT_EQ(isDottedQuad(std::string("256.1.1.1")), 0);
  EXPECT_EQ(isDottedQuad(std::string("mail.example.co.uk")), 0);
  EXPECT_EQ(isDottedQuad(std::string("[1.2.3.4]")), 0);
  EXPECT_EQ(isDottedQuad(std::string("")), 0);
  EXPECT_EQ(isDottedQuad(std::nullopt), -1);
}

TEST_F(ReverseDnsTest, GetenvCopiesOrReportsAbsence) {
  std::string copy = "old";
  {
    ScopedEnv set("KORVEX_TEST_VARIABLE", "value");
    EXPECT_EQ(__getenv(context_, "KORVEX_TEST_VARIABLE", &copy), 0);
    EXPECT_EQ(copy, "value");
  }
  EXPECT_EQ(__getenv(context_, "KORVEX_TEST_VARIABLE", &copy), 1);
  EXPECT_EQ(copy, "value");
  EXPECT_EQ(__getenv(context_, nullptr, &copy), -1);
  EXPECT_EQ(__getenv(context_, "PATH", nullptr), -1);
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_DEBUG, "__getenv(): attempt to call with invalid arguments"},
                   {LOG_DEBUG, "__getenv(): attempt to call with invalid arguments"}}));
}

TEST_F(ReverseDnsTest, LookupRetriesThreeTimesWhileTheResolverSaysTryAgain) {
  script_.reverse_answers() = {
      {TRY_AGAIN, ""}, {TRY_AGAIN, ""}, {TRY_AGAIN, ""}, {0, "mail.example.net"}};
  std::string name;
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.7")), kReverseNameFound);
  EXPECT_EQ(name, "mail.example.net");
  EXPECT_EQ(script_.reverse_calls(), 4);
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_DEBUG, "lookupReverseDNS(): resolved to [mail.example.net]"}}));

  script_.clear_lines();
  script_.reverse_calls() = 0;
  script_.reverse_answers() = {{TRY_AGAIN, ""}};
  name = "kept";
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.7")), kReverseLookupFailed);
  EXPECT_EQ(script_.reverse_calls(), 4);
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(script_.lines(), (Lines{{LOG_ERR, "gethostbyaddr() retried 3 times"}}));
}

TEST_F(ReverseDnsTest, LookupTellsNoNameFromFailure) {
  struct Case {
    int resolver_says;
    unsigned code;
    LoggedLine line;
  };
  const std::vector<Case> cases = {
      {HOST_NOT_FOUND, kReverseNoName, {LOG_DEBUG, "Hostname for IP 192.0.2.9 could not be found"}},
      {NO_RECOVERY, kReverseLookupFailed, {LOG_ERR, "A non-recoverable DNS server error occured"}},
      {NO_DATA, kReverseLookupFailed, {LOG_ERR, "Unable to lookup reverse-DNS"}},
  };
  for (const auto& c : cases) {
    script_.clear_lines();
    script_.reverse_calls() = 0;
    script_.reverse_answers() = {{c.resolver_says, ""}};
    std::string name = "previous";
    EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.9")), c.code)
        << c.resolver_says;
    EXPECT_EQ(script_.reverse_calls(), 1);
    EXPECT_EQ(name, c.code == kReverseNoName ? "" : "previous");
    EXPECT_EQ(script_.lines(), Lines{c.line});
  }
}

TEST_F(ReverseDnsTest, LookupRefusesBadArgumentsWithoutAQuery) {
  std::string name;
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("not-an-address")), kReverseBadArgument);
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::nullopt), kReverseLookupFailed);
  EXPECT_EQ(lookupReverseDNS(context_, nullptr, std::string("192.0.2.1")), kReverseLookupFailed);
  EXPECT_EQ(lookupReverseDns(context_, &name, std::string("1.2.3")), kReverseBadArgument);
  EXPECT_EQ(lookupReverseDns(context_, &name, std::nullopt), kReverseBadArgument);
  EXPECT_EQ(script_.reverse_calls(), 0);
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_WARNING, "lookupReverseDNS(): invalid IP address"},
                   {LOG_DEBUG, "__runRDNSQuery(): attempt to run with invalid arguments"},
                   {LOG_DEBUG, "__runRDNSQuery(): attempt to run with invalid arguments"},
                   {LOG_DEBUG, "lookupReverseDNS(): Invalid IP address detected"},
                   {LOG_DEBUG, "lookupReverseDns(): NULL arguments detected"}}));
}

TEST_F(ReverseDnsTest, PeerNameComesFromTcpRemoteHostWhenSet) {
  std::string name;
  {
    ScopedEnv empty("TCPREMOTEHOST", "");
    EXPECT_EQ(lookupReverseDns(context_, &name, std::string("192.0.2.1")), kReverseNoName);
    EXPECT_EQ(name, "");
  }
  {
    ScopedEnv named("TCPREMOTEHOST", "relay.example.org");
    EXPECT_EQ(lookupReverseDns(context_, &name, std::string("1.2.3")), kReverseNameFound);
    EXPECT_EQ(name, "relay.example.org");
  }
  EXPECT_EQ(script_.reverse_calls(), 0);
  script_.reverse_answers() = {{0, "live.example.org"}};
  EXPECT_EQ(lookupReverseDns(context_, &name, std::string("192.0.2.1")), kReverseNameFound);
  EXPECT_EQ(name, "live.example.org");
  EXPECT_EQ(script_.reverse_calls(), 1);
}

TEST_F(ReverseDnsTest, PatternListLineRules) {
  const std::string long_line = std::string(1023, 'x') + "tail-piece\n";
  const std::string path = list("list",
                                "# header of the list\n"
                                "\n"
                                "   # indented comment\n"
                                " leading\n"
                                "carriage\r\n" +
                                    long_line + "^never-matches$");
  EXPECT_EQ(checkRegexList(context_, path, "leading.example", ::korvex::testing::capture_sink), 0);
  EXPECT_EQ(checkRegexList(context_, path, "carriage.example", ::korvex::testing::capture_sink), 0);
  EXPECT_EQ(checkRegexList(context_, path, "a leading blank", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(checkRegexList(context_, path, "CARRIAGE\r", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(
      checkRegexList(context_, path, "has-tail-piece.example", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(checkRegexList(context_, path, "never-matches", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(
      script_.lines(),
      (Lines{{LOG_DEBUG, "checkRegexList(" + path + ", line 4): hit [a leading blank][ leading]"},
             // The subject, a client's value, is blanked; the list's own line is not.
             {LOG_DEBUG, "checkRegexList(" + path + ", line 5): hit [CARRIAGE ][carriage\r]"},
             {LOG_DEBUG,
              "checkRegexList(" + path + ", line 7): hit [has-tail-piece.example][tail-piece]"},
             {LOG_DEBUG,
              "checkRegexList(" + path + ", line 8): hit [never-matches][^never-matches$]"}}));
}

TEST_F(ReverseDnsTest, PatternListFirstMatchDecidesAndBadLinesAreReported) {
  const std::string path = list("list", "[\nexample\\.net$\nnet$\n");
  EXPECT_EQ(checkRegexList(context_, path, "mx.EXAMPLE.net", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(checkRegexList(context_, path, "mx.example.org", ::korvex::testing::capture_sink), -1);
  const std::string blank_only = list("blank", "  \n");
  EXPECT_EQ(checkRegexList(context_, blank_only, "a  b", ::korvex::testing::capture_sink), 1);
  EXPECT_EQ(
      checkRegexList(context_, dir_.path() + "/missing", "x", ::korvex::testing::capture_sink), -1);
  EXPECT_EQ(checkRegexList(context_, dir_.path() + "/missing", "x", nullptr), -1);
  const std::string bad =
      "Warning: checkRegexList(" + path + "): regcomp(line 1): Invalid regular expression";
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_INFO, bad},
                   {LOG_DEBUG,
                    "checkRegexList(" + path + ", line 2): hit [mx.EXAMPLE.net][example\\.net$]"},
                   {LOG_INFO, bad},
                   {LOG_DEBUG, "checkRegexList(" + blank_only + ", line 1): hit [a  b][  ]"},
                   {LOG_INFO, "Warning: checkRegexList(): unable to open file '" + dir_.path() +
                                  "/missing'"}}));
}

TEST_F(ReverseDnsTest, DynamicHostTestFallsBackToTheBuiltInPattern) {
  EXPECT_EQ(std::strlen(default_dslregex), 60u);
  // No list configured: the built-in pattern decides.
  EXPECT_EQ(isDSL(context_, std::string("pool-203-0-113-5.customers.example.net")), 1);
  EXPECT_EQ(isDSL(context_, std::string("mail.203-0-113-5.example.net")), 0);
  EXPECT_EQ(isDSL(context_, std::string("mail.example.net")), 0);
  EXPECT_EQ(isDSL(context_, std::nullopt), 0);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_INFO, "Warning: checkDSLRegexList(): filename not set"},
                                    {LOG_INFO, "Warning: checkDSLRegexList(): filename not set"},
                                    {LOG_INFO, "Warning: checkDSLRegexList(): filename not set"}}));

  // A list that answers is final, even against the built-in pattern.
  context_.dsl_regex_filename = list("dyna", "# header\n\\.dyn\\.\n");
  EXPECT_EQ(isDSL(context_, std::string("pool-203-0-113-5.customers.example.net")), 0);
  EXPECT_EQ(isDSL(context_, std::string("a.dyn.example.net")), 1);
  // A missing list or one that does not compile falls back.
  context_.dsl_regex_filename = list("broken", "(\n");
  EXPECT_EQ(isDSL(context_, std::string("pool-203-0-113-5.customers.example.net")), 1);
  context_.dsl_regex_filename = dir_.path() + "/missing";
  EXPECT_EQ(isDSL(context_, std::string("pool-203-0-113-5.customers.example.net")), 1);
}

struct RuleCase {
  const char* what;
  std::optional<std::string> remote_host;
  int rdns_state;
  std::vector<std::pair<int, std::string>> resolver;
  CheckResult ip_rule;
  CheckResult dynamic_rule;
  CheckResult list_rule;
  int lookups_per_rule;
};

TEST_F(ReverseDnsTest, Ipv6PeersAreLookedUpAsIpv6AndMappedOnesAsIpv4) {
  script_.reverse_answers() = {{TRY_AGAIN, ""}, {0, "mail6.example.net"}};
  std::string name;
  EXPECT_EQ(lookupReverseDns(context_, &name, std::string("2001:DB8::25")), kReverseNameFound);
  EXPECT_EQ(name, "mail6.example.net");
  EXPECT_EQ(lookupReverseDns(context_, &name, std::string("::ffff:192.0.2.7")), kReverseNameFound);
  ASSERT_EQ(script_.reverse_addresses().size(), 3u);
  EXPECT_EQ(script_.reverse_addresses()[0], *parse_ip_address("2001:db8::25"));
  EXPECT_EQ(script_.reverse_addresses()[0].family, AF_INET6);
  EXPECT_EQ(script_.reverse_addresses()[2], *parse_ip_address("192.0.2.7"));

  script_.clear_lines();
  script_.reverse_calls() = 0;
  script_.reverse_answers() = {{HOST_NOT_FOUND, ""}};
  SessionState state;
  state.ip = "::1";
  EXPECT_EQ(check_ip_reverse_dns(context_, state), HIT);
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), HIT);
  EXPECT_EQ(check_reverse_dns_list(context_, state), DUNNO);
  state.ip = "2001:db8::25::1";
  EXPECT_EQ(check_ip_reverse_dns(context_, state), TEMPFAIL);
  EXPECT_EQ(script_.reverse_calls(), 3);
  EXPECT_EQ(script_.lines()[0], (LoggedLine{LOG_DEBUG, "Hostname for IP ::1 could not be found"}));
  EXPECT_EQ(script_.lines().back(),
            (LoggedLine{LOG_DEBUG, "lookupReverseDNS(): Invalid IP address detected"}));
}

TEST_F(ReverseDnsTest, RulesDecideFromSessionOrLookup) {
  context_.reverse_dns_regex_filename = list("spam", "# header\n^bad\\.\n");
  const std::vector<RuleCase> cases = {
      {"known plain name", "mail.example.net", 0, {}, DUNNO, DUNNO, DUNNO, 0},
      {"known listed name", "bad.example.net", 0, {}, DUNNO, DUNNO, HIT, 0},
      {"known dynamic name", "dsl-192-0-2-1.example.net", 0, {}, DUNNO, HIT, DUNNO, 0},
      {"empty name from tcpserver", "", 0, {}, DUNNO, DUNNO, DUNNO, 0},
      {"state says no name", std::nullopt, 2, {}, HIT, HIT, DUNNO, 0},
      {"state says name, none given", std::nullopt, 1, {}, DUNNO, DUNNO, DUNNO, 0},
      {"looked up plain", std::nullopt, 0, {{0, "mail.example.net"}}, DUNNO, DUNNO, DUNNO, 1},
      {"looked up listed", std::nullopt, 0, {{0, "bad.example.net"}}, DUNNO, DUNNO, HIT, 1},
      {"looked up dynamic",
       std::nullopt,
       0,
       {{0, "ppp-192-0-2-1.example.net"}},
       DUNNO,
       HIT,
       DUNNO,
       1},
      {"no PTR record", std::nullopt, 0, {{HOST_NOT_FOUND, ""}}, HIT, HIT, DUNNO, 1},
      {"resolver trouble", std::nullopt, 0, {{TRY_AGAIN, ""}}, TEMPFAIL, TEMPFAIL, TEMPFAIL, 4},
      {"server failure", std::nullopt, 0, {{NO_RECOVERY, ""}}, TEMPFAIL, TEMPFAIL, TEMPFAIL, 1},
  };
  for (const auto& c : cases) {
    SessionState state;
    state.ip = "192.0.2.1";
    state.remote_host = c.remote_host;
    state.rdns_state = c.rdns_state;
    script_.reverse_answers() = c.resolver;
    script_.reverse_calls() = 0;
    EXPECT_EQ(check_ip_reverse_dns(context_, state), c.ip_rule) << c.what;
    EXPECT_EQ(check_dynamic_reverse_dns(context_, state), c.dynamic_rule) << c.what;
    EXPECT_EQ(check_reverse_dns_list(context_, state), c.list_rule) << c.what;
    EXPECT_EQ(script_.reverse_calls(), 3 * c.lookups_per_rule) << c.what;
  }
}

TEST_F(ReverseDnsTest, OnlyAResolverStillSayingTryAgainIsNotedAsTemporary) {
  LookupNotes notes;
  context_.notes = &notes;
  SessionState state;
  state.ip = "192.0.2.1";
  for (const auto& [resolver_says, noted] : std::vector<std::pair<int, bool>>{
           {TRY_AGAIN, true}, {NO_RECOVERY, false}, {NO_DATA, false}}) {
    notes = LookupNotes{};
    script_.reverse_answers() = {{resolver_says, ""}};
    EXPECT_EQ(check_ip_reverse_dns(context_, state), TEMPFAIL) << resolver_says;
    EXPECT_EQ(notes.temporary_failure, noted) << resolver_says;
  }
}

TEST_F(ReverseDnsTest, RulesNeedAnAddressAndTheListRuleItsList) {
  SessionState state;
  EXPECT_EQ(check_ip_reverse_dns(context_, state), TEMPFAIL);
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), TEMPFAIL);
  EXPECT_EQ(check_reverse_dns_list(context_, state), TEMPFAIL);

  state.ip = "1.2.3";  // not a dotted quad: no lookup can be made
  EXPECT_EQ(check_ip_reverse_dns(context_, state), TEMPFAIL);
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), TEMPFAIL);
  EXPECT_EQ(check_reverse_dns_list(context_, state), TEMPFAIL);
  EXPECT_EQ(script_.reverse_calls(), 0);

  state.ip = "192.0.2.1";
  state.remote_host = "mail.example.net";
  state.log = ::korvex::testing::capture_sink;
  script_.clear_lines();
  EXPECT_EQ(check_reverse_dns_list(context_, state), DUNNO);  // no list configured
  context_.reverse_dns_regex_filename = dir_.path() + "/missing";
  EXPECT_EQ(check_reverse_dns_list(context_, state), TEMPFAIL);
  EXPECT_EQ(
      script_.lines(),
      (Lines{{LOG_INFO, "check_reverse_dns_list(): reverse_dns_regex_filename not set, ignoring."},
             {LOG_INFO,
              "Warning: checkRegexList(): unable to open file '" + dir_.path() + "/missing'"}}));
}

}  // namespace
}  // namespace korvex
