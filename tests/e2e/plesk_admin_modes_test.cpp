// Whole-program tests of korvex-plesk's two administrator modes: rules on trial
// (rules.report) and deferral on lookup trouble (defer_on_tempfail), with live lookups
// against the sandbox's DNS responder.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/counter_slot.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";
const std::string kStamp =
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} korvex-plesk\\[[0-9]+\\]: ";

std::string best_practices(const std::string& rule) {
  return "https://www.korvex.example/best_practices/" + rule + ".html";
}

const std::string kBadHeloReply = builtin_reply(
    "Messages from your location are rejected, bad or missing identifier (HELO). Contact your "
    "email administrator",
    best_practices("valid_helo_domain"));

const std::string kUnresolvedHeloReply = builtin_reply(
    "Messages from your location are rejected, identification (HELO) has no matching DNS entry.",
    best_practices("resolve_helo_domain"));

struct Session {
  std::string ip = "192.0.2.10";
  std::string helo = "mail.example.net";
  std::string from = "sender@example.net";

  std::vector<std::string> env() const {
    return {"TCPREMOTEIP=" + ip, "SMTPHELOHOST=" + helo, "SMTPMAILFROM=" + from,
            "SMTPRCPTTO=user@example.org"};
  }
  // The activity line of the session under the label.
  std::string line(const std::string& label) const {
    return label + ": mua=0,ip=[" + ip + ":(null)],helo=<" + helo + ">,from=<" + from +
           ">,rcpt=<user@example.org>";
  }
};

class PleskAdminModes : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    auto& box = sandbox();
    ASSERT_TRUE(box.install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(
        box.place_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions attempts:1 timeout:2\n"));
    ASSERT_TRUE(
        box.dns().load_zone("ptr 192.0.2.10 mail.example.net\n"
                            "a mail.example.net 192.0.2.10\n"
                            "servfail 50.2.0.192.in-addr.arpa\n"
                            "servfail broken.example\n"));
    // The pattern-list rules have no lists here; they stay out of the way.
    ASSERT_TRUE(box.place_file("/etc/korvex/control/rules.disabled",
                               "check_dynamic_reverse_dns\ncheck_reverse_dns_list\n"));
  }

  RunResult run(const Session& session) { return sandbox().run({kPlesk}, {.env = session.env()}); }

  // Whether the activity file holds exactly these lines, each time-stamped.
  ::testing::AssertionResult activity_is(const std::vector<std::string>& lines) {
    const std::string file = sandbox().read_file("/var/log/korvex/kxlog").value_or("");
    std::string pattern;
    for (const std::string& line : lines) pattern += kStamp + literal(line) + "\n";
    if (matches_whole(file, pattern)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "activity file:\n" << file;
  }

  // Today's ham, spam and exempt counts; empty when nothing was ever counted.
  std::vector<unsigned> today_counts() { return testing::today_counts(sandbox()); }
};

TEST_F(PleskAdminModes, RuleInReportModeWritesItsHitDownAndRefusesNothing) {
  if (!has_sandbox()) return;
  // A hit of the rule on trial, and nothing else hits: accepted and counted as ham.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.report", "valid_helo_domain\n"));
  Session bad_helo;
  bad_helo.helo = "localhost";
  RunResult result = run(bad_helo);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, "");
  const std::string reported = bad_helo.line("REPORT[valid_helo_domain]");
  EXPECT_EQ(described(result.syslog),
            (std::vector<std::string>{"mail.info korvex-plesk: " + reported,
                                      "mail.info korvex-plesk: " + bad_helo.line("HAM")}));
  EXPECT_TRUE(activity_is({reported, bad_helo.line("HAM")}));
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{1, 0, 0}));

  // A hit of the rule on trial, then a refusal by a later rule: the refusal stands.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.report", "block_ip_in_addr\n"));
  Session both;
  both.helo = "localhost";
  both.from = "sender@192.0.2.1";
  result = run(both);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, kBadHeloReply);
  const std::string refused = both.line("SPAM[valid_helo_domain]");
  EXPECT_EQ(
      described(result.syslog),
      (std::vector<std::string>{"mail.info korvex-plesk: " + both.line("REPORT[block_ip_in_addr]"),
                                "mail.info korvex-plesk: " + refused}));
  EXPECT_TRUE(activity_is(
      {reported, bad_helo.line("HAM"), both.line("REPORT[block_ip_in_addr]"), refused}));
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{1, 1, 0}));

  // Naming a rule is enough to run it in report mode; rules.disabled still wins.
  ASSERT_TRUE(
      sandbox().place_file("/etc/korvex/control/rules.report",
                           "block_ip_in_addr\nresolve_helo_domain\ncheck_reverse_dns_list\n"));
  result = sandbox().run({kPlesk, "-s"}, {.env = both.env()});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.err,
            "Control files:\n"
            "==============\n"
            " - Logging to mail.debug is NOT enabled.\n"
            " - Core dumps (in /var/cores/korvex) are NOT enabled.\n\n"
            "Current Ruleset (rules are checked in order listed):\n\n"
            "RULE                        DEFAULT    CURRENT    MUA->MTA\n"
            "====                        =======    =======    ========\n"
            "block_lists                 Enabled    Enabled    No\n"
            "block_ip_in_addr            Enabled    Report     Yes\n"
            "check_ip_reverse_dns        Enabled    Enabled    No\n"
            "check_dynamic_reverse_dns   Enabled    Disabled   No\n"
            "check_reverse_dns_list      Enabled    Disabled   No\n"
            "resolve_helo_domain         Disabled   Report     No\n"
            "require_full_addr           Enabled    Enabled    Yes\n"
            "require_helo                Enabled    Enabled    Yes\n"
            "valid_from_domain           Disabled   Disabled   No\n"
            "valid_helo_domain           Enabled    Enabled    No\n"
            "known_sender_forgery        Disabled   Disabled   Yes\n\n"
            "Enabled TARN Lists:\n"
            "==================\n"
            "No TARN lists enabled.\n");
}

TEST_F(PleskAdminModes, LookupTroubleDefersWhatNothingRefusesOnceTheFlagIsOn) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/defer_on_tempfail", "true\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "resolve_helo_domain\n"));
  // The peer's reverse lookup keeps failing: one 451 line naming the rule, nothing counted.
  Session troubled;
  troubled.ip = "192.0.2.50";
  RunResult result = run(troubled);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out,
            "E451 4.4.3 Temporary DNS failure in check_ip_reverse_dns; try again later\n");
  const std::string deferred = troubled.line("TEMPFAIL[check_ip_reverse_dns]");
  const std::string looking_up =
      "mail.info korvex-plesk: Looking up domain mail.example.net (this may take a while)";
  EXPECT_EQ(described(result.syslog),
            (std::vector<std::string>{"mail.err korvex-plesk: gethostbyaddr() retried 3 times",
                                      looking_up, "mail.info korvex-plesk: " + deferred}));
  EXPECT_TRUE(activity_is({deferred}));
  EXPECT_EQ(today_counts(), std::vector<unsigned>{});

  // The same trouble, but a later rule refuses (no such HELO name): the refusal stands.
  Session troubled_bad_helo = troubled;
  troubled_bad_helo.helo = "localhost";
  result = run(troubled_bad_helo);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, kUnresolvedHeloReply);
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{0, 1, 0}));

  // An HELO name that cannot be resolved now defers; one that does not exist is refused.
  Session broken_helo;
  broken_helo.helo = "broken.example";
  result = run(broken_helo);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out,
            "E451 4.4.3 Temporary DNS failure in resolve_helo_domain; try again later\n");
  EXPECT_EQ(described(result.syslog),
            (std::vector<std::string>{
                "mail.info korvex-plesk: Looking up domain broken.example (this may take a while)",
                "mail.info korvex-plesk: " + broken_helo.line("TEMPFAIL[resolve_helo_domain]")}));
  Session gone_helo;
  gone_helo.helo = "gone.example";
  result = run(gone_helo);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, kUnresolvedHeloReply);
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{0, 2, 0}));

  // An exempt peer is never deferred.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "192.0.2.50\n"));
  result = run(troubled);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(described(result.syslog),
            (std::vector<std::string>{"mail.info korvex-plesk: " + troubled.line("IP_EXEMPT")}));
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{0, 2, 1}));
}

}  // namespace
}  // namespace korvex::testing
