#include "spp/smtp_session.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/unique_fd.h"
#include "tests/spp/spp_test_files.h"

namespace korvex {
namespace {

using Lines = std::vector<std::string>;

// crlf - the lines as the client sees them.
std::string crlf(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// The 14th of November 2023, 22:13:20 UTC.
constexpr std::time_t kNow = 1700000000;

class SmtpSession : public ::testing::Test {
 protected:
  void SetUp() override {
    config.hostname = "mx.test";
    config.maildir = dir.file("Maildir");
    config.environment = {"TCPREMOTEIP=192.0.2.1", "TCPREMOTEHOST=client.example.net"};
    config.log = [this](const std::string& line) { log.push_back(line); };
    config.clock = [] { return kNow; };
    config.plugin_timeout_seconds = 10;
    config.client_timeout_seconds = 10;
  }

  // converse - run a session on input given at once (as a pipelining client may) and
  // return everything it wrote. With keep_open the client stays connected but silent.
  std::string converse(const std::string& input, bool keep_open = false) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    const unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    EXPECT_EQ(write(write_end.get(), input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
    if (!keep_open) write_end.reset();
    const unique_fd output(memfd_create("smtp-output", MFD_CLOEXEC));
    end = run_smtp_session(config, read_end.get(), output.get());
    std::string written(1 << 16, '\0');
    const ssize_t got = pread(output.get(), written.data(), written.size(), 0);
    EXPECT_GE(got, 0);
    written.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return written;
  }

  // delivered - the messages in the Maildir's new/, in name order.
  Lines delivered() const {
    Lines messages;
    for (const std::string& name : dir.entries("Maildir/new")) {
      messages.push_back(dir.read("Maildir/new/" + name));
    }
    EXPECT_EQ(dir.entries("Maildir/tmp"), Lines{});
    return messages;
  }

  testing::ScratchDir dir;
  session_config config;
  Lines log;
  session_end end = session_end::failed;
};

TEST_F(SmtpSession, TakesAPipelinedMessageAndStoresItUnstuffed) {
  const std::string output = converse(crlf({
      "EHLO client.example.net",
      "MAIL FROM:<sender@example.net> BODY=8BITMIME",
      "RCPT TO:<one@mx.test>",
      "rcpt to: two@mx.test",
      "DATA",
      "Subject: test",
      "",
      "..a line that began with a dot",
      ".",
      "QUIT",
  }));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "250-mx.test",
                        "250-PIPELINING",
                        "250-8BITMIME",
                        "250 AUTH PLAIN",
                        "250 2.1.0 sender ok",
                        "250 2.1.5 recipient ok",
                        "250 2.1.5 recipient ok",
                        "354 go ahead, end with <CRLF>.<CRLF>",
                        "250 2.0.0 message accepted",
                        "221 2.0.0 mx.test closing connection",
                    }));
  EXPECT_EQ(end, session_end::quit);
  EXPECT_EQ(delivered(), Lines{"Return-Path: <sender@example.net>\n"
                               "Received: from client.example.net (client.example.net "
                               "[192.0.2.1])\n"
                               "\tby mx.test (korvex-smtpd) with ESMTP; "
                               "Tue, 14 Nov 2023 22:13:20 +0000\n"
                               "Subject: test\n"
                               "\n"
                               ".a line that began with a dot\n"});
  EXPECT_EQ(log, Lines{});
}

TEST_F(SmtpSession, NamesAnIpv6ClientByItsAddressLiteral) {
  config.environment = {"TCPREMOTEIP=2001:db8::25", "TCPREMOTEHOST=client.example.net"};
  (void)converse(crlf({"HELO client.example.net", "MAIL FROM:<s@example.net>",
                       "RCPT TO:<one@mx.test>", "DATA", "Subject: six", "", ".", "QUIT"}));
  EXPECT_EQ(delivered(), Lines{"Return-Path: <s@example.net>\n"
                               "Received: from client.example.net (client.example.net "
                               "[IPv6:2001:db8::25])\n"
                               "\tby mx.test (korvex-smtpd) with SMTP; "
                               "Tue, 14 Nov 2023 22:13:20 +0000\n"
                               "Subject: six\n"
                               "\n"});
}
TEST_F(SmtpSession, PluginsDecideEachRecipientOnceAndTheirReplyReachesTheClientInOrder) {
  const std::string runs = dir.file("runs");
  config.rcpt_plugins = {
      dir.script("first", "echo \"first $SMTPRCPTTO\" >> " + runs + "\n"),
      dir.script("refuser", "echo \"refuser $SMTPRCPTTO\" >> " + runs +
                                "\n"
                                "case $SMTPRCPTTO in spam*)\n"
                                "  echo 'P550-Your message was rejected.'\n"
                                "  echo 'P550-Reason: a test'\n"
                                "  echo 'E550 or contact your ISP.'\n"
                                "esac\n"),
      dir.script("last", "echo \"last $SMTPRCPTTO\" >> " + runs + "\n"),
  };
  const std::string output = converse(crlf({
      "HELO client.example.net",
      "MAIL FROM:<>",
      "RCPT TO:<spam@mx.test>",
      "RCPT TO:<ham@mx.test>",
      "DATA",
      "hello",
      ".",
      "QUIT",
  }));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "250 mx.test",
                        "250 2.1.0 sender ok",
                        "550-Your message was rejected.",
                        "550-Reason: a test",
                        "550 or contact your ISP.",
                        "250 2.1.5 recipient ok",
                        "354 go ahead, end with <CRLF>.<CRLF>",
                        "250 2.0.0 message accepted",
                        "221 2.0.0 mx.test closing connection",
                    }));
  EXPECT_EQ(dir.read("runs"),
            "first spam@mx.test\nrefuser spam@mx.test\n"
            "first ham@mx.test\nrefuser ham@mx.test\nlast ham@mx.test\n");
  EXPECT_EQ(log, (Lines{
                     "korvex-smtpd: plugin " + dir.file("first") + " rcpt <spam@mx.test>: accepted",
                     "korvex-smtpd: plugin " + dir.file("refuser") +
                         " rcpt <spam@mx.test>: refused: 550 or contact your ISP.",
                     "korvex-smtpd: plugin " + dir.file("first") + " rcpt <ham@mx.test>: accepted",
                     "korvex-smtpd: plugin " + dir.file("refuser") + " rcpt <ham@mx.test>: accepted",
                     "korvex-smtpd: plugin " + dir.file("last") + " rcpt <ham@mx.test>: accepted",
                 }));
  EXPECT_EQ(delivered(), Lines{"Return-Path: <>\n"
                               "Received: from client.example.net (client.example.net "
                               "[192.0.2.1])\n"
                               "\tby mx.test (korvex-smtpd) with SMTP; "
                               "Tue, 14 Nov 2023 22:13:20 +0000\n"
                               "hello\n"});
}

TEST_F(SmtpSession, PluginsSeeTheSessionInTheirEnvironment) {
  config.environment.push_back("SMTPAUTHUSER=stale");
  config.environment.push_back("RELAYCLIENT=");
  config.accounts = {{"joe", "secret"}};
  config.rcpt_plugins = {dir.script(
      "probe",
      "echo \"P250-helo=${SMTPHELOHOST-none} from=${SMTPMAILFROM-none} "
      "to=${SMTPRCPTTO-none} auth=${SMTPAUTHUSER-none} relay=${RELAYCLIENT-none} "
      "ip=$TCPREMOTEIP host=$TCPREMOTEHOST\"\n")};
  const std::string output = converse(crlf({
      "MAIL FROM:<a@example.net>",
      "RCPT TO:<x@mx.test>",
      "EHLO client.example.net",
      "MAIL FROM:<>",
      "RCPT TO:<y@mx.test>",
      "RSET",
      "AUTH PLAIN AGpvZQBzZWNyZXQ=",
      "MAIL FROM:<joe@example.net>",
      "RCPT TO:<z@mx.test>",
      "QUIT",
  }));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "250 2.1.0 sender ok",
                        "250-helo=none from=a@example.net to=x@mx.test auth=none relay= "
                        "ip=192.0.2.1 host=client.example.net",
                        "250 2.1.5 recipient ok",
                        "250-mx.test",
                        "250-PIPELINING",
                        "250-8BITMIME",
                        "250 AUTH PLAIN",
                        "250 2.1.0 sender ok",
                        "250-helo=client.example.net from= to=y@mx.test auth=none relay= "
                        "ip=192.0.2.1 host=client.example.net",
                        "250 2.1.5 recipient ok",
                        "250 2.0.0 ok",
                        "235 2.7.0 authentication successful",
                        "250 2.1.0 sender ok",
                        "250-helo=client.example.net from=joe@example.net to=z@mx.test auth=joe "
                        "relay= ip=192.0.2.1 host=client.example.net",
                        "250 2.1.5 recipient ok",
                        "221 2.0.0 mx.test closing connection",
                    }));
}

TEST_F(SmtpSession, APluginThatFailsIsLoggedAndDoesNotRefuse) {
  config.rcpt_plugins = {dir.script("crash", "echo E550 refused\nkill -SEGV $$\n"),
                         dir.file("missing")};
  const std::string output =
      converse(crlf({"HELO c", "MAIL FROM:<a@example.net>", "RCPT TO:<x@mx.test>", "QUIT"}));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "250 mx.test",
                        "250 2.1.0 sender ok",
                        "250 2.1.5 recipient ok",
                        "221 2.0.0 mx.test closing connection",
                    }));
  EXPECT_EQ(log, (Lines{
                     "korvex-smtpd: plugin " + dir.file("crash") +
                         " rcpt <x@mx.test>: failed: killed by signal 11",
                     "korvex-smtpd: plugin " + dir.file("missing") +
                         " rcpt <x@mx.test>: failed: cannot run: No such file or directory",
                 }));
}

TEST_F(SmtpSession, AnswersBadSequencesAndSyntaxWithoutLosingTheTransaction) {
  const std::string output = converse(crlf({
      "RCPT TO:<x@mx.test>",
      "DATA",
      "HELO",
      "EHLO",
      "VRFY someone",
      "MAIL <a@example.net>",
      "MAIL FROM:<a@example.net",
      "MAIL FROM:<a b@example.net>",
      "MAIL FROM:<a@example.net>",
      "MAIL FROM:<b@example.net>",
      "RCPT TO:<>",
      "RCPT TO:x@mx.test trailing",
      "DATA now",
      "noop",
      "MAIL FROM:<a@example.net>\x01",
      std::string(kMaxLineLength + 1, 'x'),
      "RSET",
      "DATA",
      "QUIT",
  }));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "503 5.5.1 MAIL first",
                        "503 5.5.1 MAIL first",
                        "501 5.5.4 syntax: HELO hostname",
                        "501 5.5.4 syntax: EHLO hostname",
                        "500 5.5.1 command not recognized",
                        "501 5.5.4 syntax: MAIL FROM:<address>",
                        "501 5.5.4 syntax: MAIL FROM:<address>",
                        "501 5.5.4 syntax: MAIL FROM:<address>",
                        "250 2.1.0 sender ok",
                        "503 5.5.1 nested MAIL command",
                        "501 5.5.4 syntax: RCPT TO:<address>",
                        "250 2.1.5 recipient ok",
                        "501 5.5.4 syntax: DATA",
                        "250 2.0.0 ok",
                        "500 5.5.2 syntax error: control character in command",
                        "500 5.5.2 line too long",
                        "250 2.0.0 ok",
                        "503 5.5.1 MAIL first",
                        "221 2.0.0 mx.test closing connection",
                    }));
  EXPECT_EQ(end, session_end::quit);
}

TEST_F(SmtpSession, AuthPlainWithInitialResponseOrContinuation) {
  config.accounts = {{"joe", "secret"}};
  const std::string output = converse(crlf({
      "AUTH PLAIN AGpvZQBzZWNyZXQ=",
      "HELO c",
      "AUTH PLAIN AGpvZQBzZWNyZXQ=",
      "EHLO c",
      "AUTH LOGIN",
      "AUTH PLAIN AGpvZQBzZWNyZVQ=",
      "AUTH PLAIN not-base64",
      "AUTH PLAIN",
      "*",
      "AUTH PLAIN =",
      "MAIL FROM:<a@example.net>",
      "AUTH PLAIN AGpvZQBzZWNyZXQ=",
      "RSET",
      "auth plain",
      "AGpvZQBzZWNyZXQ=",
      "AUTH PLAIN AGpvZQBzZWNyZXQ=",
      "QUIT",
  }));
  EXPECT_EQ(output, crlf({
                        "220 mx.test ESMTP korvex-smtpd",
                        "503 5.5.1 EHLO first",
                        "250 mx.test",
                        "503 5.5.1 EHLO first",
                        "250-mx.test",
                        "250-PIPELINING",
                        "250-8BITMIME",
                        "250 AUTH PLAIN",
                        "504 5.5.4 unrecognized authentication type",
                        "535 5.7.8 authentication failed",
                        "501 5.5.2 cannot decode response",
                        "334 ",
                        "501 5.0.0 authentication cancelled",
                        "501 5.5.2 cannot decode response",
                        "250 2.1.0 sender ok",
                        "503 5.5.1 not allowed during a mail transaction",
                        "250 2.0.0 ok",
                        "334 ",
                        "235 2.7.0 authentication successful",
                        "503 5.5.1 already authenticated",
                        "221 2.0.0 mx.test closing connection",
                    }));
}

TEST_F(SmtpSession, StoresNothingUnlessTheWholeMessageArrivesAndFits) {
  const Lines transaction = {"HELO c", "MAIL FROM:<a@example.net>", "RCPT TO:<x@mx.test>",
                             "DATA"};
  Lines overlong = transaction;
  overlong.insert(overlong.end(), {"fine", std::string(kMaxLineLength + 1, 'x'), ".", "QUIT"});
  EXPECT_EQ(converse(crlf(overlong)),
            crlf({"220 mx.test ESMTP korvex-smtpd", "250 mx.test", "250 2.1.0 sender ok",
                  "250 2.1.5 recipient ok", "354 go ahead, end with <CRLF>.<CRLF>",
                  "554 5.6.0 message has a line longer than 8192 bytes",
                  "221 2.0.0 mx.test closing connection"}));

  Lines cut_off = transaction;
  cut_off.push_back("half a message");
  converse(crlf(cut_off));
  EXPECT_EQ(end, session_end::client_gone);
  EXPECT_EQ(delivered(), Lines{});

  config.maildir = dir.write("not-a-directory", "");
  Lines undeliverable = transaction;
  undeliverable.insert(undeliverable.end(), {"text", "."});
  EXPECT_EQ(converse(crlf(undeliverable)),
            crlf({"220 mx.test ESMTP korvex-smtpd", "250 mx.test", "250 2.1.0 sender ok",
                  "250 2.1.5 recipient ok", "354 go ahead, end with <CRLF>.<CRLF>",
                  "451 4.3.0 local delivery failed"}));
  EXPECT_EQ(log, Lines{"korvex-smtpd: delivery failed: mkdir " + config.maildir +
                       "/tmp: Not a directory"});
}

TEST_F(SmtpSession, ASilentClientIsToldAboutTheTimeout) {
  config.client_timeout_seconds = 0;
  EXPECT_EQ(converse(crlf({"NOOP"}), true),
            crlf({"220 mx.test ESMTP korvex-smtpd", "250 2.0.0 ok",
                  "421 4.4.2 mx.test timeout, closing connection"}));
  EXPECT_EQ(end, session_end::timed_out);
}

}  // namespace
}  // namespace korvex
