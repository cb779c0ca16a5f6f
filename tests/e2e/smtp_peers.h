// smtp_peers - real SMTP peers for whole-program tests: tcpserver (ucspi-tcp-ipv6) starting
// korvex-smtpd per connection on 127.0.0.1:2525 (or another loopback address, ::1 among
// them) inside the sandbox, and swaks as the client.
//
// Exports: SmtpServer, SmtpdWithPeers (a SandboxTest with korvex-smtpd installed, a
// credentials file, a message and a PTR for 127.0.0.1), kEhloReplies, concat.
#pragma once

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

using Lines = std::vector<std::string>;

inline constexpr const char* kSmtpd = "/usr/share/korvex/bin/korvex-smtpd";
inline constexpr const char* kPluginConfig = "/etc/korvex/spp/plugins";
inline constexpr const char* kCredentials = "/etc/korvex/spp/credentials";
inline constexpr const char* kRules = "/etc/korvex/spp/tcp.cdb";
inline constexpr const char* kMaildir = "/var/qmail/Maildir";
inline constexpr const char* kServerLog = "/var/log/korvex/tcpserver.log";
inline constexpr const char* kPluginRuns = "/var/log/korvex/plugin-runs";
inline constexpr const char* kMessage = "/tmp/message";
inline constexpr const char* kPort = "2525";

// tcpserver running korvex-smtpd in the background; stopped with its sessions when dropped.
class SmtpServer {
 public:
  SmtpServer() = default;
  ~SmtpServer() { stop(); }
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  // start - run tcpserver with the options given before the address, and wait until it
  // listens on address:kPort.
  ::testing::AssertionResult start(Sandbox& sandbox, const Lines& tcpserver_options,
                                   const std::string& address = "127.0.0.1") {
    Lines argv = {"/usr/bin/tcpserver", "-v", "-R", "-l", "mx.test"};
    argv.insert(argv.end(), tcpserver_options.begin(), tcpserver_options.end());
    argv.insert(argv.end(), {address, kPort, kSmtpd, "-m", kMaildir, "-p", kPluginConfig, "-a",
                             kCredentials, "-h", "mx.test"});
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

  // swaks - one session from a real SMTP client to server (IPv6 for an IPv6 address); its
  // result and the replies it received.
  RunResult swaks(const Lines& options, Lines* replies, const std::string& server = "127.0.0.1") {
    Lines argv = {"/usr/bin/swaks",
                  "--server",
                  server,
                  "--port",
                  kPort,
                  "--helo",
                  "client.example.net",
                  "--from",
                  "sender@example.net",
                  "--data",
                  std::string("@") + kMessage};
    if (server.find(':') != std::string::npos) argv.push_back("-6");
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

inline const Lines kEhloReplies = {"<-  220 mx.test ESMTP korvex-smtpd", "<-  250-mx.test",
                            "<-  250-PIPELINING", "<-  250-8BITMIME", "<-  250 AUTH PLAIN"};

inline Lines concat(Lines first, const Lines& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace korvex::testing
