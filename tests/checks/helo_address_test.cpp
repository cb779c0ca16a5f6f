#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <utility>
#include <vector>

#include "plugin/checks/address.h"
#include "plugin/checks/helo.h"
#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using checks_test::ScriptedChecks;
using ::korvex::testing::capture_sink;
using ::korvex::testing::LoggedLine;
using Lines = std::vector<LoggedLine>;
using Queries = std::vector<std::pair<std::string, int>>;

SessionState with_helo(std::optional<std::string> helo) {
  SessionState state;
  state.helo = std::move(helo);
  state.log = capture_sink;
  return state;
}

SessionState with_addresses(std::optional<std::string> from, std::optional<std::string> rcpt) {
  SessionState state;
  state.mail_from = std::move(from);
  state.rcpt_to = std::move(rcpt);
  state.log = capture_sink;
  return state;
}

class HeloAddressTest : public ::testing::Test {
 protected:
  // The result of check on state, with the lines it logged.
  template <typename Check>
  std::pair<CheckResult, Lines> run(Check check, const SessionState& state) {
    script_.clear_lines();
    const CheckResult result = check(script_.context, state);
    return {result, script_.lines()};
  }

  ScriptedChecks script_;
};

TEST_F(HeloAddressTest, ValidHeloDomainJudgesShapeInOrder) {
  const auto debug = [](const char* text) { return Lines{{LOG_DEBUG, text}}; };
  const std::vector<std::pair<std::optional<std::string>, std::pair<CheckResult, Lines>>> cases = {
      {"mail.example", {DUNNO, {}}},
      {"Mail-1.Example.COM", {DUNNO, {}}},
      {std::nullopt, {HIT, {}}},
      {"", {HIT, debug("HELO is empty")}},
      {"localhost", {HIT, debug("HELO is \"localhost\"")}},
      {"localhost.localdomain", {HIT, debug("HELO is \"localhost.localdomain\"")}},
      {"LOCALHOST", {HIT, debug("No dots in HELO")}},
      {"local", {HIT, debug("No dots in HELO")}},
      {"localhost.local", {DUNNO, {}}},
      {"mail..example", {HIT, debug("HELO contains two consecutive dots")}},
      {"mail_1.example", {HIT, debug("HELO contains invalid characters")}},
      {"mail example.net", {HIT, debug("HELO contains invalid characters")}},
      {"192.0.2.1", {HIT, debug("HELO contains IP Address")}},
      {"192.0.2", {DUNNO, {}}},
      {"[192.0.2.1]", {HIT, {}}},
      {"[192.0.2]", {DUNNO, {}}},
      {"[192.0.2.1", {DUNNO, {}}},
      {"[mail.example]", {DUNNO, {}}},
      {"[1.2.3]", {DUNNO, {}}},  // too short to hold a quad
      {".example.net", {HIT, debug("HELO starts with dot")}},
  };
  for (const auto& [helo, expected] : cases) {
    EXPECT_EQ(run(valid_helo_domain, with_helo(helo)), expected) << helo.value_or("(absent)");
  }
}

TEST_F(HeloAddressTest, Ipv6AddressLiteralsAreTreatedLikeBracketedQuads) {
  const auto invalid = Lines{{LOG_DEBUG, "HELO contains invalid characters"}};
  const std::vector<std::pair<std::string, std::pair<CheckResult, Lines>>> cases = {
      {"[IPv6:2001:db8::1]", {HIT, {}}},
      {"[ipv6:::1]", {HIT, {}}},
      {"[IPv6:::ffff:192.0.2.1]", {HIT, {}}},
      {"[IPv6:2001:db8::g]", {HIT, invalid}},  // no address: judged by its characters
      {"[IPv6:2001:db8::1", {HIT, invalid}},
      {"[2001:db8::1]", {HIT, invalid}},
  };
  for (const auto& [helo, expected] : cases) {
    EXPECT_EQ(run(valid_helo_domain, with_helo(helo)), expected) << helo;
  }
  // Like a bracketed quad, the literal is looked up as a name by the resolving rule, and the
  // address rule lets it pass and judges the recipient.
  EXPECT_EQ(run(resolve_helo_domain, with_helo("[IPv6:2001:db8::1]")).first, HIT);
  EXPECT_EQ(script_.forward_calls().size(), 2u);
  EXPECT_EQ(block_ip_in_addr(script_.context,
                             with_addresses("user@[IPv6:2001:db8::1]", "user@192.0.2.1")),
            HIT);
  EXPECT_EQ(block_ip_in_addr(script_.context,
                             with_addresses("user@[IPv6:2001:db8::1]", "user@example.org")),
            DUNNO);
}

TEST_F(HeloAddressTest, RequireHeloOnlyWantsOneGiven) {
  EXPECT_EQ(run(require_helo, with_helo(std::nullopt)),
            std::make_pair(HIT, Lines{{LOG_DEBUG, "require_helo: HELO is null"}}));
  EXPECT_EQ(run(require_helo, with_helo("")), std::make_pair(DUNNO, Lines{}));
  EXPECT_EQ(run(require_helo, with_helo("x")), std::make_pair(DUNNO, Lines{}));
  SessionState silent;  // no log function: nothing to write to, still decides
  EXPECT_EQ(require_helo(script_.context, silent), HIT);
  EXPECT_EQ(script_.lines(), Lines{});
}

TEST_F(HeloAddressTest, ResolveHeloAsksForAThenMx) {
  script_.forward_answers()[{"a.example", T_A}] = forward_outcome::answered;
  script_.forward_answers()[{"mx.example", T_MX}] = forward_outcome::answered;
  script_.forward_answers()[{"busy.example", T_A}] = forward_outcome::try_again;
  script_.forward_answers()[{"busy.example", T_MX}] = forward_outcome::try_again;
  const auto looking_up = [](const char* name) {
    return LoggedLine{LOG_INFO,
                      std::string("Looking up domain ") + name + " (this may take a while)"};
  };
  EXPECT_EQ(run(resolve_helo_domain, with_helo("a.example")),
            std::make_pair(DUNNO, Lines{looking_up("a.example")}));
  EXPECT_EQ(run(resolve_helo_domain, with_helo("mx.example")),
            std::make_pair(DUNNO, Lines{looking_up("mx.example")}));
  EXPECT_EQ(run(resolve_helo_domain, with_helo("none.example")),
            std::make_pair(HIT, Lines{looking_up("none.example")}));
  // Resolver trouble makes the name unresolvable, never a temporary failure.
  EXPECT_EQ(run(resolve_helo_domain, with_helo("busy.example")),
            std::make_pair(HIT, Lines{looking_up("busy.example")}));
  EXPECT_EQ(script_.forward_calls(), (Queries{{"a.example", T_A},
                                              {"mx.example", T_A},
                                              {"mx.example", T_MX},
                                              {"none.example", T_A},
                                              {"none.example", T_MX},
                                              {"busy.example", T_A},
                                              {"busy.example", T_MX}}));
}

TEST_F(HeloAddressTest, WithDeferralOnLookupTroubleIsTemporaryAndNoted) {
  script_.forward_answers()[{"busy.example", T_A}] = forward_outcome::try_again;
  script_.forward_answers()[{"half.example", T_MX}] = forward_outcome::try_again;
  script_.forward_answers()[{"mx.example", T_A}] = forward_outcome::try_again;
  script_.forward_answers()[{"mx.example", T_MX}] = forward_outcome::answered;
  LookupNotes notes;
  script_.context.notes = &notes;
  script_.context.defer_on_tempfail = true;
  struct Case {
    CheckResult (*check)(const CheckContext&, SessionState);
    SessionState state;
    CheckResult result;
    bool noted;
  };
  const std::vector<Case> cases = {
      {resolve_helo_domain, with_helo("busy.example"), TEMPFAIL, true},
      {resolve_helo_domain, with_helo("half.example"), TEMPFAIL, true},
      {resolve_helo_domain, with_helo("mx.example"), DUNNO, false},
      {resolve_helo_domain, with_helo("none.example"), HIT, false},
      {valid_from_domain, with_addresses("a@busy.example", "b@example.org"), TEMPFAIL, true},
      {valid_from_domain, with_addresses("a@none.example", "b@example.org"), HIT, false},
  };
  for (const Case& c : cases) {
    notes = LookupNotes{};
    EXPECT_EQ(c.check(script_.context, c.state), c.result) << c.state.helo.value_or("");
    EXPECT_EQ(notes.temporary_failure, c.noted) << c.state.helo.value_or("");
  }
}

TEST_F(HeloAddressTest, ResolveHeloSkipsWhatNeedsNoQuery) {
  EXPECT_EQ(run(resolve_helo_domain, with_helo(std::nullopt)), std::make_pair(TEMPFAIL, Lines{}));
  EXPECT_EQ(run(resolve_helo_domain, with_helo("")), std::make_pair(DUNNO, Lines{}));
  EXPECT_EQ(run(resolve_helo_domain, with_helo("192.0.2.1")),
            std::make_pair(DUNNO, Lines{{LOG_INFO, "Did not attempt to resolve IP address"}}));
  SessionState known = with_helo("none.example");
  known.helo_resolves = kResolveNo;
  EXPECT_EQ(run(resolve_helo_domain, known), std::make_pair(HIT, Lines{}));
  known.helo_resolves = kResolveYes;
  EXPECT_EQ(run(resolve_helo_domain, known), std::make_pair(DUNNO, Lines{}));
  EXPECT_EQ(script_.forward_calls(), Queries{});

  EXPECT_EQ(isUnresolvableDomain(script_.context, "192.0.2.1"), 0);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_INFO, "Did not attempt to resolve IP address"}}));
  EXPECT_EQ(script_.forward_calls(), Queries{});
}

TEST_F(HeloAddressTest, RequireFullAddress) {
  EXPECT_EQ(require_full_addr(script_.context, with_addresses("", "a@b")), DUNNO);
  EXPECT_EQ(require_full_addr(script_.context, with_addresses("", "user@example.net")), DUNNO);
  EXPECT_EQ(require_full_addr(script_.context, with_addresses("", "user@host@example.net")), DUNNO);
  for (const char* bad : {"user", "@example.net", "user@", ""}) {
    EXPECT_EQ(require_full_addr(script_.context, with_addresses("", bad)), HIT) << bad;
  }
  EXPECT_EQ(require_full_addr(script_.context, with_addresses("", std::nullopt)), HIT);
  EXPECT_EQ(script_.lines(), Lines{});
}

TEST_F(HeloAddressTest, BlockIpInAddressLooksAtSenderThenRecipient) {
  struct Case {
    std::optional<std::string> from;
    std::optional<std::string> rcpt;
    CheckResult expected;
  };
  const std::vector<Case> cases = {
      {"user@192.0.2.1", "user@example.net", HIT},
      {"user@[192.0.2.1]", "user@198.51.100.7", HIT},  // a literal is no quad: rcpt decides
      {"user@example.net", "user@198.51.100.7", HIT},
      {"user@example.net", "user@example.org", DUNNO},
      {"user", "user@198.51.100.7", DUNNO},  // no sender domain: rcpt not examined
      {"user@example.net", "postmaster", DUNNO},
      {"", "user@198.51.100.7", DUNNO},
      {"a@b@192.0.2.1", "user@example.net", HIT},  // the domain follows the last at sign
      {std::nullopt, "user@198.51.100.7", DUNNO},
      {"user@192.0.2.1", std::nullopt, DUNNO},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(block_ip_in_addr(script_.context, with_addresses(c.from, c.rcpt)), c.expected)
        << c.from.value_or("(absent)") << " / " << c.rcpt.value_or("(absent)");
  }
  EXPECT_EQ(script_.lines(), Lines{});
}

TEST_F(HeloAddressTest, ValidFromDomainResolvesTheSenderDomain) {
  script_.forward_answers()[{"example.net", T_MX}] = forward_outcome::answered;
  const auto from = [](std::optional<std::string> address) {
    return with_addresses(std::move(address), "user@example.org");
  };
  EXPECT_EQ(run(valid_from_domain, from("user@example.net")),
            std::make_pair(
                DUNNO, Lines{{LOG_INFO, "Looking up domain example.net (this may take a while)"}}));
  EXPECT_EQ(run(valid_from_domain, from("user@gone.example")),
            std::make_pair(
                HIT, Lines{{LOG_INFO, "Looking up domain gone.example (this may take a while)"}}));
  EXPECT_EQ(run(valid_from_domain, from("user@[192.0.2.1]")),
            std::make_pair(HIT, Lines{{LOG_INFO,
                                       "Looking up domain [192.0.2.1] (this may take a "
                                       "while)"}}));
  EXPECT_EQ(script_.forward_calls(), (Queries{{"example.net", T_A},
                                              {"example.net", T_MX},
                                              {"gone.example", T_A},
                                              {"gone.example", T_MX},
                                              {"[192.0.2.1]", T_A},
                                              {"[192.0.2.1]", T_MX}}));
  script_.forward_calls().clear();

  EXPECT_EQ(run(valid_from_domain, from(std::nullopt)), std::make_pair(TEMPFAIL, Lines{}));
  EXPECT_EQ(run(valid_from_domain, from("user@")), std::make_pair(HIT, Lines{}));
  EXPECT_EQ(run(valid_from_domain, from("user")), std::make_pair(HIT, Lines{}));
  EXPECT_EQ(run(valid_from_domain, from("user@192.0.2.1")),
            std::make_pair(DUNNO, Lines{{LOG_INFO, "Did not attempt to resolve IP address"}}));
  SessionState known = from("user@gone.example");
  known.mail_resolves = kResolveYes;
  EXPECT_EQ(run(valid_from_domain, known), std::make_pair(DUNNO, Lines{}));
  known.mail_resolves = kResolveNo;
  known.mail_from = "user@example.net";
  EXPECT_EQ(run(valid_from_domain, known), std::make_pair(HIT, Lines{}));
  EXPECT_EQ(script_.forward_calls(), Queries{});
}

}  // namespace
}  // namespace korvex
