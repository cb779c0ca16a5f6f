// The real SMTP path: swaks talks to tcpserver, which starts korvex-smtpd, which runs
// korvex-plesk at every RCPT TO exactly as the mail server's plugin hook does.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/smtp_peers.h"

namespace korvex::testing {
namespace {

constexpr const char* kPlesk = "/usr/share/korvex/bin/korvex-plesk";

class PleskOverSmtp : public SmtpdWithPeers {
 protected:
  void SetUp() override {
    SmtpdWithPeers::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(sandbox().place_file(kPluginConfig, std::string("[rcpt]\n") + kPlesk + "\n"));
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_from", "sender@example.net\n"));
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_users", "vip@mx.test\n"));
  }

  // activity - the activity file's lines without their time stamp and process id.
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

TEST_F(PleskOverSmtp, EachRecipientIsDecidedOnceAndTheRefusalArrivesWhole) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(server.start(sandbox(), {}));

  Lines replies;
  const RunResult run = swaks({"--to", "vip@mx.test,other@mx.test,boss@mx.test"}, &replies);
  EXPECT_TRUE(run.exited_with(0)) << run.describe();
  const Lines refusal = {
      "<** 550-Your message was rejected by this system and was not delivered.",
      "<** 550-Reason: This system will not accept messages from you",
      "<** 550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)",
      "<** 550-For more information, please visit the URL:",
      "<** 550-https://www.korvex.example/empowering_the_user",
      "<** 550 or contact your ISP or mail server operator.",
  };
  EXPECT_EQ(replies,
            concat(concat(concat(concat(kEhloReplies, {"<-  250 2.1.0 sender ok",
                                                       "<-  250 2.1.5 recipient ok"}),
                                 refusal),
                          refusal),
                   {"<-  354 go ahead, end with <CRLF>.<CRLF>", "<-  250 2.0.0 message accepted",
                    "<-  221 2.0.0 mx.test closing connection"}));
  server.stop();

  const std::string peer = "mua=0,ip=[127.0.0.1:client.example.test],helo=<client.example.net>,"
                           "from=<sender@example.net>,";
  EXPECT_EQ(activity(), (Lines{"RCPT_EXEMPT: " + peer + "rcpt=<vip@mx.test>",
                               "SPAM[from_blacklist]: " + peer + "rcpt=<other@mx.test>",
                               "SPAM[from_blacklist]: " + peer + "rcpt=<boss@mx.test>"}));
  EXPECT_EQ(messages().size(), 1u);
}

TEST_F(PleskOverSmtp, AnAuthenticatedSessionIsTakenForAMailUserAgent) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(server.start(sandbox(), {}));

  Lines replies;
  const RunResult run = swaks({"--from", "joe@example.net", "--to", "friend@example.org",
                               "--auth", "PLAIN", "--auth-user", "joe", "--auth-password",
                               "secret", "--quit-after", "RCPT"},
                              &replies);
  EXPECT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(replies, concat(kEhloReplies, {"<-  235 2.7.0 authentication successful",
                                           "<-  250 2.1.0 sender ok", "<-  250 2.1.5 recipient ok",
                                           "<-  221 2.0.0 mx.test closing connection"}));
  server.stop();
  EXPECT_EQ(activity(), (Lines{"HAM: mua=1,ip=[127.0.0.1:client.example.test],"
                               "helo=<client.example.net>,from=<joe@example.net>,"
                               "rcpt=<friend@example.org>"}));
}

}  // namespace
}  // namespace korvex::testing
