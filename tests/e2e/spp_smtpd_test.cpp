// Whole-program tests of korvex-smtpd with real peers: swaks as the SMTP client and
// tcpserver (ucspi-tcp) starting korvex-smtpd per connection on loopback in the sandbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr const char* kSmtpd = "/usr/share/korvex/bin/korvex-smtpd";
constexpr const char* kPluginConfig = "/etc/korvex/spp/plugins";
constexpr const char* kCredentials = "/etc/korvex/spp/credentials";
constexpr const char* kRules = "/etc/korvex/spp/tcp.cdb";
constexpr const char* kMaildir = "/var/qmail/Maildir";
constexpr const char* kServerLog = "/var/log/korvex/tcpserver.log";
constexpr const char* kPluginRuns = "/var/log/korvex/plugin-runs";
constexpr const char* kMessage = "/tmp/message";
constexpr const char* kPort = "2525";

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

// tcpserver running korvex-smtpd in the background; stopped with its sessions when dropped.
class SmtpServer {
 public:
  SmtpServer() = default;
  ~SmtpServer() { stop(); }
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // start - run tcpserver with the options given before the address, and wait until it
  // listens on 127.0.0.1:kPort.
  ::testing::AssertionResult start(Sandbox& sandbox, const Lines& tcpserver_options) {
    Lines argv = {"/usr/bin/tcpserver", "-v", "-R", "-l", "mx.test"};
    argv.insert(argv.end(), tcpserver_options.begin(), tcpserver_options.end());
    argv.insert(argv.end(), {"127.0.0.1", kPort, kSmtpd, "-m", kMaildir, "-p", kPluginConfig,
                             "-a", kCredentials, "-h", "mx.test"});
    if (!spawn(argv)) return ::testing::AssertionFailure() << "cannot start tcpserver";
    for (int tries = 0; tries < 500; ++tries) {
      if (sandbox.read_file(kServerLog).value_or("").find("status: 0/40") != std::string::npos) {
        return ::testing::AssertionSuccess();
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return ::testing::AssertionFailure()
               << "tcpserver ended: " << sandbox.read_file(kServerLog).value_or("");
      }
      const timespec pause{0, 20000000L};
      nanosleep(&pause, nullptr);
    }
    return ::testing::AssertionFailure() << "tcpserver does not listen";
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  bool spawn(const Lines& argv) {
    const int log = open(kServerLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<char*> pointers;
    Lines texts = argv;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    std::string path = "PATH=/usr/bin:/bin";
    char* const environment[] = {path.data(), nullptr};
    pid_ = log >= 0 && input >= 0 ? fork() : -1;
    if (pid_ == 0) {
      setpgid(0, 0);
      if (dup2(input, 0) == 0 && dup2(log, 1) == 1 && dup2(log, 2) == 2) {
        // The sandbox's own sockets stay with the test.
        syscall(SYS_close_range, 3U, ~0U, 0U);
        execve(pointers[0], pointers.data(), environment);
      }
      _exit(127);
    }
    if (log >= 0) close(log);
    if (input >= 0) close(input);
    return pid_ > 0;
  }

  pid_t pid_ = -1;
};

class SmtpdWithPeers : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_SMTPD, "korvex-smtpd"));
    ASSERT_TRUE(sandbox().place_file(kCredentials, "joe:secret\n", 0600));
    ASSERT_TRUE(sandbox().place_file(kMessage, "Subject: e2e\n\n.leading dot\nhello\n"));
    ASSERT_TRUE(sandbox().dns().add_ptr("127.0.0.1", "client.example.test"));
  }

  void use_plugin(const std::string& script) {
    ASSERT_TRUE(sandbox().place_file("/usr/share/korvex/spp/plugin", script, 0755));
    ASSERT_TRUE(sandbox().place_file(kPluginConfig, "[rcpt]\n/usr/share/korvex/spp/plugin\n"));
  }

  // swaks - one session from a real SMTP client; its result and the replies it received.
  RunResult swaks(const Lines& options, Lines* replies) {
    Lines argv = {"/usr/bin/swaks", "--server", std::string("127.0.0.1:") + kPort,
                  "--helo", "client.example.net", "--from", "sender@example.net",
                  "--data", std::string("@") + kMessage};
    argv.insert(argv.end(), options.begin(), options.end());
    const RunResult run = sandbox().run(argv, {.env = {"PATH=/usr/bin:/bin"}});
    std::istringstream lines(run.out);
    replies->clear();
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("<-  ", 0) == 0 || line.rfind("<** ", 0) == 0) replies->push_back(line);
    }
    return run;
  }

  // smtpd_log - korvex-smtpd's own lines among tcpserver's.
  Lines smtpd_log() {
    std::istringstream lines(sandbox().read_file(kServerLog).value_or(""));
    Lines own;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("korvex-smtpd:", 0) == 0) own.push_back(line);
    }
    return own;
  }

  // messages - the Maildir's new messages with the date of their Received line masked.
  Lines messages() {
    Lines contents;
    for (const std::string& name :
         sandbox().list_directory(std::string(kMaildir) + "/new").value_or(Lines{})) {
      contents.push_back(
          masked_date(sandbox().read_file(std::string(kMaildir) + "/new/" + name).value_or("")));
    }
    return contents;
  }

  // masked_date - the text with the first "; Tue, 08 Dec 2026 03:57:25 +0000" line end
  // (a date of that shape in UTC) written as "; <date>".
  static std::string masked_date(std::string text) {
    constexpr std::size_t kDateLength = 31;
    const auto start = text.find("; ");
    if (start == std::string::npos || start + 2 + kDateLength >= text.size()) return text;
    const std::string date = text.substr(start + 2, kDateLength + 1);
    if (date[3] != ',' || date.substr(kDateLength - 5) != "+0000\n") return text;
    return text.replace(start + 2, kDateLength, "<date>");
  }

  SmtpServer server;
};

const Lines kEhloReplies = {"<-  220 mx.test ESMTP korvex-smtpd", "<-  250-mx.test",
                            "<-  250-PIPELINING", "<-  250-8BITMIME", "<-  250 AUTH PLAIN"};

Lines concat(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

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
