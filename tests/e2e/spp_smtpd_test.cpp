// Whole-program tests of korvex-smtpd with real peers: swaks as the SMTP client and
// tcpserver (ucspi-tcp) starting korvex-smtpd per connection on loopback in the sandbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/smtp_peers.h"

namespace korvex::testing {
namespace {

// What a refusing korvex-plesk answers, as stand-in plugin output.
constexpr const char* kRefusingPlugin =
    "#!/bin/sh\n"
    "echo \"$SMTPRCPTTO\" >> /var/log/korvex/plugin-runs\n"
    "case \"$SMTPRCPTTO\" in spam@*)\n"
    "  echo 'P550-Your message was rejected by this system and was not delivered.'\n"
    "  echo 'P550-Reason: This system will not accept messages from your location. "
    "IP=[127.0.0.1]'\n"
    "  echo 'P550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)'\n"
    "  echo 'P550-For more information, please visit the URL:'\n"
    "  echo 'P550-https://www.korvex.example/empowering_the_user'\n"
    "  echo 'E550 or contact your ISP or mail server operator.'\n"
    "esac\n";

// A plugin that shows the client what it was told.
constexpr const char* kReportingPlugin =
    "#!/bin/sh\n"
    "echo \"P250-auth=${SMTPAUTHUSER-none} relay=${RELAYCLIENT-none} "
    "host=${TCPREMOTEHOST-none} ip=$TCPREMOTEIP helo=$SMTPHELOHOST from=$SMTPMAILFROM "
    "to=$SMTPRCPTTO\"\n";

TEST_F(SmtpdWithPeers, RefusalArrivesWholeAndAcceptedMailLandsInTheMaildir) {
  if (!has_sandbox()) return;
  use_plugin(kRefusingPlugin);
  ASSERT_TRUE(server.start(sandbox(), {}));

  const Lines refusal = {
      "<** 550-Your message was rejected by this system and was not delivered.",
      "<** 550-Reason: This system will not accept messages from your location. IP=[127.0.0.1]",
      "<** 550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)",
      "<** 550-For more information, please visit the URL:",
      "<** 550-https://www.korvex.example/empowering_the_user",
      "<** 550 or contact your ISP or mail server operator.",
  };
  const Lines after_sender = concat(
      concat({"<-  250 2.1.0 sender ok", "<-  250 2.1.5 recipient ok"}, refusal),
      {"<-  250 2.1.5 recipient ok", "<-  354 go ahead, end with <CRLF>.<CRLF>",
       "<-  250 2.0.0 message accepted", "<-  221 2.0.0 mx.test closing connection"});
  Lines replies;
  const RunResult plain = swaks({"--to", "ham@mx.test,spam@mx.test,other@mx.test"}, &replies);
  EXPECT_TRUE(plain.exited_with(0)) << plain.describe();
  EXPECT_EQ(replies, concat(kEhloReplies, after_sender));
  // A pipelining client gets the same replies in the same order.
  const RunResult pipelined =
      swaks({"--pipeline", "--to", "ham@mx.test,spam@mx.test,other@mx.test"}, &replies);
  EXPECT_TRUE(pipelined.exited_with(0)) << pipelined.describe();
  EXPECT_EQ(replies, concat(kEhloReplies, after_sender));
  server.stop();

  EXPECT_EQ(sandbox().read_file(kPluginRuns),
            "ham@mx.test\nspam@mx.test\nother@mx.test\n"
            "ham@mx.test\nspam@mx.test\nother@mx.test\n");
  const Lines session_log = {
      "korvex-smtpd: plugin /usr/share/korvex/spp/plugin rcpt <ham@mx.test>: accepted",
      "korvex-smtpd: plugin /usr/share/korvex/spp/plugin rcpt <spam@mx.test>: refused: 550 or "
      "contact your ISP or mail server operator.",
      "korvex-smtpd: plugin /usr/share/korvex/spp/plugin rcpt <other@mx.test>: accepted",
  };
  EXPECT_EQ(smtpd_log(), concat(session_log, session_log));
  const std::string message =
      "Return-Path: <sender@example.net>\n"
      "Received: from client.example.net (client.example.test [127.0.0.1])\n"
      "\tby mx.test (korvex-smtpd) with ESMTP; <date>\n"
      "Subject: e2e\n\n.leading dot\nhello\n\n";
  EXPECT_EQ(messages(), (Lines{message, message}));
  EXPECT_EQ(sandbox().list_directory(std::string(kMaildir) + "/tmp"), Lines{});
}

TEST_F(SmtpdWithPeers, AuthUserAndRelayClientFromTheRulesReachThePlugin) {
  if (!has_sandbox()) return;
  use_plugin(kReportingPlugin);
  const RunResult rules = sandbox().run({"/usr/bin/tcprules", kRules, "/etc/korvex/spp/tcp.tmp"},
                                        {.input = "127.0.0.1:allow,RELAYCLIENT=\"\"\n"});
  ASSERT_TRUE(rules.exited_with(0)) << rules.describe();
  ASSERT_TRUE(server.start(sandbox(), {"-x", kRules}));

  Lines replies;
  const RunResult authenticated = swaks(
      {"--to", "one@mx.test", "--auth", "PLAIN", "--auth-user", "joe", "--auth-password", "secret"},
      &replies);
  EXPECT_TRUE(authenticated.exited_with(0)) << authenticated.describe();
  EXPECT_EQ(replies, concat(kEhloReplies,
                            {"<-  235 2.7.0 authentication successful", "<-  250 2.1.0 sender ok",
                             "<-  250-auth=joe relay= host=client.example.test ip=127.0.0.1 "
                             "helo=client.example.net from=sender@example.net to=one@mx.test",
                             "<-  250 2.1.5 recipient ok",
                             "<-  354 go ahead, end with <CRLF>.<CRLF>",
                             "<-  250 2.0.0 message accepted",
                             "<-  221 2.0.0 mx.test closing connection"}));

  const RunResult anonymous = swaks({"--to", "two@mx.test", "--quit-after", "RCPT"}, &replies);
  EXPECT_TRUE(anonymous.exited_with(0)) << anonymous.describe();
  EXPECT_EQ(replies, concat(kEhloReplies,
                            {"<-  250 2.1.0 sender ok",
                             "<-  250-auth=none relay= host=client.example.test ip=127.0.0.1 "
                             "helo=client.example.net from=sender@example.net to=two@mx.test",
                             "<-  250 2.1.5 recipient ok",
                             "<-  221 2.0.0 mx.test closing connection"}));

  const RunResult wrong = swaks({"--to", "three@mx.test", "--auth", "PLAIN", "--auth-user", "joe",
                                 "--auth-password", "guess"},
                                &replies);
  EXPECT_FALSE(wrong.exited_with(0)) << wrong.describe();
  EXPECT_EQ(replies, concat(kEhloReplies, {"<** 535 5.7.8 authentication failed",
                                           "<-  221 2.0.0 mx.test closing connection"}));
  server.stop();
  EXPECT_EQ(messages().size(), 1u);
}

TEST_F(SmtpdWithPeers, BadSetupIsReportedToClientAndLog) {
  if (!has_sandbox()) return;
  const RunResult missing_config =
      sandbox().run({kSmtpd, "-m", kMaildir, "-p", "/etc/korvex/spp/absent", "-h", "mx.test"},
                    {.input = "QUIT\r\n"});
  EXPECT_TRUE(missing_config.exited_with(1)) << missing_config.describe();
  EXPECT_EQ(missing_config.out, "421 4.3.0 mx.test service not available\r\n");
  EXPECT_EQ(missing_config.err,
            "korvex-smtpd: /etc/korvex/spp/absent: No such file or directory\n");

  const RunResult no_maildir = sandbox().run({kSmtpd, "-h", "mx.test"}, {.input = "QUIT\r\n"});
  EXPECT_TRUE(no_maildir.exited_with(1)) << no_maildir.describe();
  EXPECT_EQ(no_maildir.out, "");
  EXPECT_EQ(no_maildir.err,
            "korvex-smtpd: a Maildir (-m) is required\n"
            "usage: korvex-smtpd -m maildir [-p plugin-config] [-a credentials] [-h hostname] "
            "[-t plugin-seconds]\n");

  const RunResult session =
      sandbox().run({kSmtpd, "-m", kMaildir, "-h", "mx.test", "-t", "5"},
                    {.input = "HELO c\r\nQUIT\r\n"});
  EXPECT_TRUE(session.exited_with(0)) << session.describe();
  EXPECT_EQ(session.out,
            "220 mx.test ESMTP korvex-smtpd\r\n250 mx.test\r\n221 2.0.0 mx.test closing "
            "connection\r\n");
}

}  // namespace
}  // namespace korvex::testing
