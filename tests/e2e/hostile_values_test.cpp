// Whole-program tests of hostile SMTP values: shell metacharacters, format directives, CR
// and LF, control and high bytes and 10,000-byte values in every qmail-spp variable reach
// korvex-plesk's replies, activity lines and syslog lines without breaking a line, a format
// or the qmail-spp protocol, and without running anything.
#include <gtest/gtest.h>
#include <regex.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";
constexpr const char* kMarker = "/tmp/hostile-marker";
constexpr const char* kCustomMessage = "Go away %IP% <%HELO%> <%FROM%> <%TO%> <%RDNS%>";

// Every variable of a session that carries a value the client or its DNS chose.
const std::vector<std::string> kHostileVariables = {"TCPREMOTEHOST", "SMTPHELOHOST",
                                                    "SMTPMAILFROM", "SMTPRCPTTO", "SMTPAUTHUSER"};

std::vector<std::pair<std::string, std::string>> hostile_values() {
  const std::string touch = std::string("touch ") + kMarker;
  std::string controls;
  for (int byte = 1; byte < 0x20; ++byte) controls += static_cast<char>(byte);
  std::string high;
  for (int byte = 0x80; byte < 0x100; ++byte) high += static_cast<char>(byte);
  return {
      {"shell metacharacters", "a;" + touch + "|" + touch + "&" + touch + "&&$(" + touch + ")`" +
                                   touch + "`'\"<>*?\\${IFS}"},
      {"format directives", "%s%n%x%%%p%9999999d%n"},
      {"carriage return", "mail\rexample"},
      {"line feed", "mail\nE250 accepted"},
      {"CRLF", "mail\r\nE250 accepted\r\n"},
      {"control bytes", controls},
      {"high bytes", high},
      {"10,000 bytes", std::string(10000, 'v')},
      {"10,000 bytes of CRLF", [] {
         std::string text;
         while (text.size() < 10000) text += "P\r\n";
         return text;
       }()},
  };
}

// What a value shows as inside one line: every control byte blanked.
std::string blanked(std::string value) {
  for (char& c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = ' ';
  }
  return value;
}

bool has_line_break(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// The lines of qmail-spp output; false when a line is not a P or E command, when the E
// line is not the last or when the output does not end with a line feed.
::testing::AssertionResult is_spp_answer(const std::string& out) {
  if (out.empty()) return ::testing::AssertionSuccess();
  if (out.back() != '\n') return ::testing::AssertionFailure() << "unterminated: " << out;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    const std::string line = out.substr(start, end - start);
    const bool last = end + 1 == out.size();
    if (line.empty() || line[0] != (last ? 'E' : 'P') || line.find('\r') != std::string::npos) {
      return ::testing::AssertionFailure() << "bad qmail-spp line [" << line << "] in " << out;
    }
    start = end + 1;
  }
  return ::testing::AssertionSuccess();
}

class HostileRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
  }

  RunResult run_with(const std::string& value) {
    std::vector<std::string> env = {"TCPREMOTEIP=192.0.2.9"};
    for (const std::string& variable : kHostileVariables) env.push_back(variable + "=" + value);
    return sandbox().run({kPlesk}, {.env = env});
  }

  // expect_whole_activity - the activity file holds exactly the run's one stamped line.
  void expect_whole_activity(const std::string& line) {
    const std::optional<std::string> kxlog = sandbox().read_file("/var/log/korvex/kxlog");
    ASSERT_TRUE(kxlog);
    std::string pattern =
        "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} korvex-plesk\\[[0-9]+\\]: ";
    for (const char c : line) {
      if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr && c != '\0') pattern += '\\';
      pattern += c;
    }
    EXPECT_TRUE(matches_whole(*kxlog, pattern + "\n")) << *kxlog;
    EXPECT_EQ(std::count(kxlog->begin(), kxlog->end(), '\n'), 1);
    ASSERT_EQ(unlink("/var/log/korvex/kxlog"), 0);
  }
};

TEST_F(HostileRun, RefusalRepliesAndLogLinesStayWhole) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n"));
  const std::string builtin = blocked_ip_reply("192.0.2.9");
  const key_t key = ftok("/bin/bash", 40);
  ASSERT_NE(key, -1);
  for (const auto& [name, value] : hostile_values()) {
    SCOPED_TRACE(name);
    const std::string shown = blanked(value);
    const std::string activity = "SPAM[ip_blacklist]: mua=1,ip=[192.0.2.9:" + shown + "],helo=<" +
                                 shown + ">,from=<" + shown + ">,rcpt=<" + shown + ">";
    const std::vector<std::string> logged = {
        "mail.info korvex-plesk: AUTH_USER[" + shown + "] set: assuming MUA->MTA connection.",
        "mail.info korvex-plesk: " + activity};

    const RunResult plain = run_with(value);
    ASSERT_TRUE(plain.exited_with(0)) << plain.describe();
    EXPECT_EQ(plain.out, builtin);
    EXPECT_EQ(described(plain.syslog), logged);
    expect_whole_activity(activity);

    // The administrator's own text carries every value into the reply line.
    const std::string segment = le32(std::strlen(kCustomMessage)) + kCustomMessage;
    const int shmid = shmget(key, segment.size(), IPC_CREAT | IPC_EXCL | 0777);
    ASSERT_NE(shmid, -1) << strerror(errno);
    void* address = shmat(shmid, nullptr, 0);
    ASSERT_NE(address, reinterpret_cast<void*>(-1));
    std::memcpy(address, segment.data(), segment.size());
    ASSERT_EQ(shmdt(address), 0);
    const RunResult custom = run_with(value);
    ASSERT_EQ(shmctl(shmid, IPC_RMID, nullptr), 0);
    ASSERT_TRUE(custom.exited_with(0)) << custom.describe();
    EXPECT_EQ(custom.out, "E550 Go away 192.0.2.9 <" + shown + "> <" + shown + "> <" + shown +
                              "> <" + shown + ">. Protection provided by: " + kBanner + "\n");
    EXPECT_EQ(described(custom.syslog), logged);
    expect_whole_activity(activity);
    EXPECT_FALSE(sandbox().read_file(kMarker));
  }
}

TEST_F(HostileRun, EveryRuleKeepsTheProtocolAndTheLogLinesWhole) {
  if (!has_sandbox()) return;
  // All eleven rules run (none is skipped as MUA: no AUTH user here) with pattern lists and a
  // forgery table in place, and the values also reach DNS as HELO and sender domains. Debug
  // logging is on, so the session dump and the pattern-list trace are judged too.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/debug", "1\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled",
                                   "resolve_helo_domain\nvalid_from_domain\nknown_sender_forgery\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/tarn.enabled", "spamhosts\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/dynaregex/dyna.regexes", "^dyn-\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/dynaregex/spam.regexes", "^spam-\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/valid_domain_ips",
                                   "example.net: 192.0.2.0/24\n"));
  int runs = 0;
  for (const auto& [name, value] : hostile_values()) {
    for (const std::string& variable : kHostileVariables) {
      if (variable == "SMTPAUTHUSER") continue;
      SCOPED_TRACE(name + " in " + variable);
      std::vector<std::string> env = {"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net",
                                      "SMTPHELOHOST=mail.example.net",
                                      "SMTPMAILFROM=alice@example.net",
                                      "SMTPRCPTTO=bob@example.org"};
      for (std::string& entry : env) {
        if (entry.compare(0, variable.size() + 1, variable + "=") == 0) entry = variable + "=" + value;
      }
      const RunResult run = sandbox().run({kPlesk}, {.env = env});
      ++runs;
      ASSERT_TRUE(run.exited_with(0)) << run.describe();
      EXPECT_TRUE(is_spp_answer(run.out));
      EXPECT_EQ(run.err, "");
      ASSERT_FALSE(run.syslog.empty());
      for (const SyslogLine& line : run.syslog) {
        EXPECT_FALSE(has_line_break(line.text)) << line.describe();
        EXPECT_EQ(line.identity, "korvex-plesk");
      }
      const std::string& activity = run.syslog.back().text;
      EXPECT_TRUE(activity.find(": mua=0,ip=[192.0.2.9:") != std::string::npos) << activity;
      expect_whole_activity(activity);
    }
  }
  EXPECT_FALSE(sandbox().read_file(kMarker));
  EXPECT_EQ(runs, 36);
}

}  // namespace
}  // namespace korvex::testing
