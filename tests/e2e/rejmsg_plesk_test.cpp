// Whole-program tests of custom rejection messages: korvex-rejmsg sets, removes and reloads
// them, and korvex-plesk answers refused sessions with them, as an administrator sees it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";
const std::string kRejmsg = std::string(kProgramDirectory) + "/korvex-rejmsg";
constexpr const char* kStore = "/etc/korvex/rejections";
// The built-in refusal by a rule whose page is among the best practices.
std::string rule_reply(const std::string& reason_text, const std::string& rule) {
  return builtin_reply(reason_text, "https://www.korvex.example/best_practices/" + rule + ".html");
}

const std::string kNoHeloReply = rule_reply(
    "Messages from your location are rejected, missing identifier (HELO). Contact your email "
    "administrator",
    "require_helo");
const std::string kShortRecipientReply =
    rule_reply("Invalid Recipient! You did not specify a complete email address to send to.",
                  "require_full_addr");

class RejectionMessages : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_REJMSG, "korvex-rejmsg"));
    ASSERT_TRUE(sandbox().make_directory(kStore));
    // Only the two session rules decide, so no DNS answer is needed.
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled",
                                     "block_lists\nblock_ip_in_addr\ncheck_ip_reverse_dns\n"
                                     "check_dynamic_reverse_dns\ncheck_reverse_dns_list\n"
                                     "valid_helo_domain\n"));
  }

  // rejmsg - run korvex-rejmsg and expect a silent success.
  void rejmsg(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kRejmsg};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const RunResult run = sandbox().run(argv);
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }

  // The reply korvex-plesk gives a session without HELO.
  std::string no_helo_answer() {
    return answer({"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net",
                   "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"});
  }
  // The reply korvex-plesk gives a session whose recipient has no domain.
  std::string short_recipient_answer() {
    return answer({"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net",
                   "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
                   "SMTPRCPTTO=bob"});
  }

 private:
  std::string answer(const std::vector<std::string>& env) {
    const RunResult run = sandbox().run({kPlesk}, {.env = env});
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
    return run.out;
  }
};

TEST_F(RejectionMessages, CustomMessageAnswersWithSubstitutedTokensUntilRemoved) {
  if (!has_sandbox()) return;
  const std::string message = "No HELO from %IP% (%RDNS%) helo=%HELO% %FROM% to %TO%";
  rejmsg({"-n", "require_helo", "-a", "-m", message});
  EXPECT_EQ(sandbox().read_file(std::string(kStore) + "/require_helo"), message);
  // The session has no HELO, so that token stays as written.
  EXPECT_EQ(no_helo_answer(), custom_reply("No HELO from 192.0.2.9 (mail.example.net) helo=%HELO% "
                                           "alice@example.net to bob@example.org"));

  rejmsg({"-n", "require_helo", "-r"});
  EXPECT_EQ(sandbox().list_directory(kStore), std::vector<std::string>{});
  EXPECT_EQ(no_helo_answer(), kNoHeloReply);
}

TEST_F(RejectionMessages, InitialiseRestoresEveryStoredMessageAfterTheCacheIsLost) {
  if (!has_sandbox()) return;
  rejmsg({"-n", "require_helo", "-a", "-m", "Say HELO first, %IP%"});
  rejmsg({"-n", "require_full_addr", "-a", "-m", "Nobody called %TO% here"});
  const std::string helo_reply = custom_reply("Say HELO first, 192.0.2.9");
  const std::string recipient_reply = custom_reply("Nobody called bob here");
  EXPECT_EQ(no_helo_answer(), helo_reply);
  EXPECT_EQ(short_recipient_answer(), recipient_reply);

  // Every shared-memory segment gone, as after a restart: the texts still come from their
  // files, and each refusal says that the cache needs loading.
  const RunResult removed = sandbox().run({"/usr/bin/ipcrm", "-a"});
  ASSERT_TRUE(removed.exited_with(0)) << removed.describe();
  const RunResult uncached = sandbox().run(
      {kPlesk}, {.env = {"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net",
                         "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"}});
  EXPECT_EQ(uncached.out, helo_reply);
  std::vector<std::string> logged;
  for (const SyslogLine& line : uncached.syslog) logged.push_back(line.describe());
  EXPECT_EQ(logged,
            (std::vector<std::string>{
                "mail.warning korvex-plesk: Custom rejection text /etc/korvex/rejections/"
                "require_helo is not in the cache; run korvex-rejmsg -i to load it",
                "mail.info korvex-plesk: SPAM[require_helo]: mua=0,ip=[192.0.2.9:mail.example.net],"
                "helo=<(null)>,from=<alice@example.net>,rcpt=<bob@example.org>"}));
  EXPECT_EQ(short_recipient_answer(), recipient_reply);

  // A rule name given with -i is ignored; the whole directory is loaded.
  rejmsg({"-i", "-n", "valid_helo_domain"});
  EXPECT_EQ(no_helo_answer(), helo_reply);
  EXPECT_EQ(short_recipient_answer(), recipient_reply);
  EXPECT_EQ(sandbox().list_directory(kStore),
            (std::vector<std::string>{"require_full_addr", "require_helo"}));
}

}  // namespace
}  // namespace korvex::testing
