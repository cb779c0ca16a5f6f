// IPv6 and IPv4-mapped peers: korvex-plesk run as qmail-spp runs it, and a real IPv6
// session from swaks over ::1 through the IPv6 tcpserver to korvex-smtpd and korvex-plesk.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"
#include "tests/e2e/smtp_peers.h"
#include "tests/e2e/tarn_fixtures.h"

namespace korvex::testing {
namespace {

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";

class Ipv6PleskRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    for (const char* list : {"dyna.regexes", "spam.regexes"}) {
      ASSERT_TRUE(sandbox().place_file(std::string("/etc/korvex/dynaregex/") + list, "# none\n"));
    }
    // The first run indexes the two lists (with a warning each); the runs below do not.
    ASSERT_TRUE(run_peer("192.0.2.1").exited_with(0));
    sandbox().clear_syslog();
  }

  RunResult run_peer(const std::string& ip, const std::string& mail_from = "alice@example.net") {
    return sandbox().run({kPlesk},
                         {.env = {"TCPREMOTEIP=" + ip, "TCPREMOTEHOST=mail.example.net",
                                  "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=" + mail_from,
                                  "SMTPRCPTTO=bob@example.org"}});
  }

  static std::string activity(const std::string& verdict, const std::string& ip,
                              const std::string& mail_from = "alice@example.net") {
    return "mail.info korvex-plesk: " + verdict + ": mua=0,ip=[" + ip +
           ":mail.example.net],helo=<mail.example.net>,from=<" + mail_from +
           ">,rcpt=<bob@example.org>";
  }
};

TEST_F(Ipv6PleskRun, ListsMapsAndTheForgeryTableJudgeIpv6AndMappedPeers) {
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips",
                                   "192.0.2.9\n2001:DB8:BAD:0::/48\n10.0.0.*\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "2001:db8:0:0::25\n"));

  // A mapped peer is its IPv4 address everywhere, the reply and the activity line included.
  RunResult run = run_peer("::ffff:192.0.2.9");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, blocked_ip_reply("192.0.2.9"));
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{activity("SPAM[ip_blacklist]", "192.0.2.9")}));

  run = run_peer("2001:db8:bad::77");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, blocked_ip_reply("2001:db8:bad::77"));
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{activity("SPAM[ip_blacklist]", "2001:db8:bad::77")}));

  run = run_peer("2001:db8::25");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{activity("IP_EXEMPT", "2001:db8::25")}));

  // The maps know IPv4 only: an IPv6 peer is on none of them, and that is no warning.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/tarn.enabled", "demo\n"));
  ASSERT_TRUE(sandbox().place_file("/var/cache/tarn/demo", map_of({"192.0.2.0/24"})));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "known_sender_forgery\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/valid_domain_ips",
                                   "bank.example: 192.0.2.0/24, 2001:db8:b::/48\n"));
  run = run_peer("2001:db8:b::25", "alerts@bank.example");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{activity("HAM", "2001:db8:b::25", "alerts@bank.example")}));

  run = run_peer("2001:db8:c::25", "alerts@bank.example");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_NE(run.out.find("E550 "), std::string::npos) << run.out;
  EXPECT_EQ(described(run.syslog),
            (std::vector<std::string>{
                activity("SPAM[known_sender_forgery]", "2001:db8:c::25", "alerts@bank.example")}));
}

class Ipv6PeerOverSmtp : public SmtpdWithPeers {
 protected:
  void SetUp() override {
    SmtpdWithPeers::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(sandbox().place_file(kPluginConfig, "[rcpt]\n" + kPlesk + "\n"));
  }

  Lines activity() {
    std::istringstream file(sandbox().read_file("/var/log/korvex/kxlog").value_or(""));
    Lines lines;
    for (std::string line; std::getline(file, line);) {
      const auto text = line.find("]: ");
      lines.push_back(text == std::string::npos ? line : line.substr(text + 3));
    }
    return lines;
  }
};

TEST_F(Ipv6PeerOverSmtp, ReverseDnsRulesLookTheIpv6PeerUpInIp6Arpa) {
  if (!has_sandbox()) return;
  // -H leaves TCPREMOTEHOST unset, so the plugin makes the reverse lookups itself.
  ASSERT_TRUE(server.start(sandbox(), {"-H"}, "::1"));
  // swaks ends with status 24 when its only recipient is refused.
  const auto session = [this](const std::string& recipient, int status) {
    Lines replies;
    const RunResult run = swaks({"--to", recipient, "--quit-after", "RCPT"}, &replies, "::1");
    EXPECT_TRUE(run.exited_with(status)) << run.describe();
    // The replies to RCPT TO: past the greeting, EHLO and MAIL FROM, before the goodbye.
    const std::size_t before = kEhloReplies.size() + 1;
    if (replies.size() <= before + 1) return replies;
    return Lines(replies.begin() + static_cast<std::ptrdiff_t>(before), replies.end() - 1);
  };
  const std::string url = "https://www.korvex.example/best_practices/";
  const auto refusal = [&url](const std::string& reason, const std::string& rule) {
    return Lines{"<** 550-Your message was rejected by this system and was not delivered.",
                 "<** 550-Reason: " + reason,
                 "<** 550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)",
                 "<** 550-For more information, please visit the URL:",
                 "<** 550-" + url + rule + ".html",
                 "<** 550 or contact your ISP or mail server operator."};
  };

  EXPECT_EQ(session("first@mx.test", 24),
            refusal("This system will not accept messages from servers/devices with no reverse "
                    "DNS. IP=[::1]",
                    "check_ip_reverse_dns"));
  ASSERT_TRUE(sandbox().dns().add_ptr("::1", "dsl-10-0-0-1.pool.example"));
  EXPECT_EQ(session("second@mx.test", 24),
            refusal("Your IP address [::1] appears not to be an email server.",
                    "check_dynamic_reverse_dns"));
  sandbox().dns().clear();
  ASSERT_TRUE(sandbox().dns().add_ptr("::1", "mail6.example.net"));
  EXPECT_EQ(session("third@mx.test", 0), (Lines{"<-  250 2.1.5 recipient ok"}));
  server.stop();

  const std::string peer = ",helo=<client.example.net>,from=<sender@example.net>,rcpt=<";
  EXPECT_EQ(
      activity(),
      (Lines{"SPAM[check_ip_reverse_dns]: mua=0,ip=[::1:(null)]" + peer + "first@mx.test>",
             "SPAM[check_dynamic_reverse_dns]: mua=0,ip=[::1:(null)]" + peer + "second@mx.test>",
             "HAM: mua=0,ip=[::1:(null)]" + peer + "third@mx.test>"}));
}

}  // namespace
}  // namespace korvex::testing
