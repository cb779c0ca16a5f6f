// Whole-program tests of korvex-plesk: the real binary at its fixed path, run as qmail-spp
// runs it, with its lists, control files, activity file, counters and syslog in a sandbox.
#include <gtest/gtest.h>

#include <algorithm>
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

const std::vector<std::string> kSession = {
    "TCPREMOTEIP=192.0.2.9",        "TCPREMOTEHOST=mail.example.net",
    "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
    "SMTPRCPTTO=bob@example.org",
};

const std::string kSessionTail =
    ": mua=0,ip=[192.0.2.9:mail.example.net],helo=<mail.example.net>,"
    "from=<alice@example.net>,rcpt=<bob@example.org>";

class PleskRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
  }

  // Runs the program on kSession, with variables of extra added or replacing those there.
  RunResult run_session(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> env;
    for (const std::string& variable : kSession) {
      const std::string name = variable.substr(0, variable.find('=') + 1);
      const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
        return e.compare(0, name.size(), name) == 0;
      });
      if (!replaced) env.push_back(variable);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return sandbox().run({kPlesk}, {.env = env});
  }

  // The counts (ham, spam, exempt) of today's slot in this month's counter file.
  std::vector<unsigned> today_counts() { return testing::today_counts(sandbox()); }
};

TEST_F(PleskRun, RefusesABlockedPeerWithTheBuiltinReply) {
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n"));
  const RunResult run = run_session();
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out,
            "P550-Your message was rejected by this system and was not delivered.\n"
            "P550-Reason: This system will not accept messages from your location. "
            "IP=[192.0.2.9]\n"
            "P550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)\n"
            "P550-For more information, please visit the URL:\n"
            "P550-https://www.korvex.example/empowering_the_user\n"
            "E550 or contact your ISP or mail server operator.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{"mail.info korvex-plesk: SPAM[ip_blacklist]" + kSessionTail}));
  const std::optional<std::string> kxlog = sandbox().read_file("/var/log/korvex/kxlog");
  ASSERT_TRUE(kxlog);
  EXPECT_TRUE(matches_whole(*kxlog,
                            "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} "
                            "korvex-plesk\\[[0-9]+\\]: " +
                                literal("SPAM[ip_blacklist]" + kSessionTail) + "\n"))
      << *kxlog;
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{0, 1, 0}));
}

TEST_F(PleskRun, AcceptsQuietlyAndCountsHamAndExemptions) {
  RunResult run = run_session({"RELAYCLIENT="});
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{
                "mail.info korvex-plesk: RELAYCLIENT set: assuming MUA->MTA connection.",
                "mail.info korvex-plesk: HAM: mua=1" + kSessionTail.substr(7)}));

  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "192.0.2.9\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n"));
  run = run_session();
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{"mail.info korvex-plesk: IP_EXEMPT" + kSessionTail}));
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{1, 0, 1}));
}

TEST_F(PleskRun, DebugFlagLetsTheStateDumpAndTraceThrough) {
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/debug", "TRUE\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled",
                                   "block_lists\nblock_ip_in_addr\ncheck_ip_reverse_dns\n"
                                   "check_dynamic_reverse_dns\ncheck_reverse_dns_list\n"
                                   "require_full_addr\nrequire_helo\nvalid_helo_domain\n"));
  const RunResult run = run_session({"SMTPHELOHOST=evil\nHAM: forged"});
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  std::vector<std::string> expected;
  for (const char* rule : {"block_lists", "block_ip_in_addr", "check_ip_reverse_dns",
                           "check_dynamic_reverse_dns", "check_reverse_dns_list",
                           "require_full_addr", "require_helo", "valid_helo_domain"}) {
    expected.push_back(std::string("mail.debug korvex-plesk: DISABLING [") + rule + "]");
  }
  const std::vector<std::string> dump = {
      "== BEGIN STATE STRUCTURE ==",
      "IP[192.0.2.9] (country: (null))",
      "REVERSE_DNS[mail.example.net]",
      "HELO[evil HAM: forged] (country: (null)) (resolves: UNKNOWN)",
      "MAIL[alice@example.net] (country: (null)) (resolves: UNKNOWN)",
      "RCPT[bob@example.org]",
      "AUTH[(null)]",
      "RFC[0]",
      "MUA->MTA[0]",
      "STATE[RCPT]",
      "=== END STATE STRUCTURE ===",
      "Checking exemption lists...",
      "Checking black lists...",
      "Checking rules...",
  };
  for (const std::string& line : dump) expected.push_back("mail.debug korvex-plesk: " + line);
  for (const char* rule : {"block_lists", "block_ip_in_addr", "check_ip_reverse_dns",
                           "check_dynamic_reverse_dns", "check_reverse_dns_list",
                           "resolve_helo_domain", "require_full_addr", "require_helo",
                           "valid_from_domain", "valid_helo_domain", "known_sender_forgery"}) {
    expected.push_back(std::string("mail.debug korvex-plesk: NOT CHECKING: '") + rule +
                       "': disabled");
  }
  expected.push_back(
      "mail.info korvex-plesk: HAM: mua=0,ip=[192.0.2.9:mail.example.net],"
      "helo=<evil HAM: forged>,from=<alice@example.net>,rcpt=<bob@example.org>");
  EXPECT_EQ(described(run.syslog), expected);
  const std::optional<std::string> kxlog = sandbox().read_file("/var/log/korvex/kxlog");
  ASSERT_TRUE(kxlog);
  EXPECT_EQ(std::count(kxlog->begin(), kxlog->end(), '\n'), 1) << *kxlog;
}

TEST_F(PleskRun, ShowConfigReportsFlagsRulesAndTarnListsWithoutReadingTheSession) {
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/dump_core", "1\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "known_sender_forgery\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/tarn.enabled", "b\na\nb\n"));
  const RunResult run = sandbox().run({kPlesk, "-s"}, {.env = kSession});
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Control files:\n"
            "==============\n"
            " - Logging to mail.debug is NOT enabled.\n"
            " - Core dumps (in /var/cores/korvex) are enabled.\n\n"
            "Current Ruleset (rules are checked in order listed):\n\n"
            "RULE                        DEFAULT    CURRENT    MUA->MTA\n"
            "====                        =======    =======    ========\n"
            "block_lists                 Enabled    Enabled    No\n"
            "block_ip_in_addr            Enabled    Enabled    Yes\n"
            "check_ip_reverse_dns        Enabled    Enabled    No\n"
            "check_dynamic_reverse_dns   Enabled    Enabled    No\n"
            "check_reverse_dns_list      Enabled    Enabled    No\n"
            "resolve_helo_domain         Disabled   Disabled   No\n"
            "require_full_addr           Enabled    Enabled    Yes\n"
            "require_helo                Enabled    Enabled    Yes\n"
            "valid_from_domain           Disabled   Disabled   No\n"
            "valid_helo_domain           Enabled    Enabled    No\n"
            "known_sender_forgery        Disabled   Enabled    Yes\n\n"
            "Enabled TARN Lists:\n"
            "==================\n"
            "a\nb\nb\n");
  EXPECT_TRUE(run.syslog.empty()) << described(run.syslog).front();
  EXPECT_FALSE(sandbox().read_file("/var/log/korvex/kxlog"));
}

TEST_F(PleskRun, BadOptionPrintsUsageAndExitsOne) {
  const RunResult run = sandbox().run({kPlesk, "-x", "-t"}, {.env = kSession});
  ASSERT_TRUE(run.exited_with(1)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "Unrecognized option: -x\n"
            "Usage: korvex-plesk [options]\n\n"
            "   -s      Show config and exit.\n"
            "\nNOTE: korvex-plesk is generally meant to be run by qmail-spp with no arguments.\n");
  EXPECT_FALSE(sandbox().read_file("/var/log/korvex/kxlog"));

  const RunResult accepted = sandbox().run({kPlesk, "-t"}, {.env = kSession});
  ASSERT_TRUE(accepted.exited_with(0)) << accepted.describe();
  // No pattern lists are installed, so the two host-name pattern rules say so and pass.
  EXPECT_EQ(described(accepted.syslog),
            (std::vector<std::string>{
                "mail.info korvex-plesk: Warning: checkRegexList(): unable to open file "
                "'/etc/korvex/dynaregex/dyna.regexes'",
                "mail.info korvex-plesk: Warning: checkRegexList(): unable to open file "
                "'/etc/korvex/dynaregex/spam.regexes'",
                "mail.info korvex-plesk: HAM" + kSessionTail}));
}

}  // namespace
}  // namespace korvex::testing
