#include "plugin/load_spp_env.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "plugin_test_util.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::LoggedLine;
using testing::TempDir;
using testing::write_file;

const char* const kSppVariables[] = {"TCPREMOTEIP",  "TCPREMOTEHOST", "SMTPHELOHOST",
                                     "SMTPMAILFROM", "SMTPRCPTTO",    "SMTPAUTHUSER",
                                     "RELAYCLIENT"};

class SppEnvironment : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : kSppVariables) unsetenv(name);
  }
};

TEST(ControlFlag, TrueOrOneOnTheFirstLineOnly) {
  TempDir dir;
  const std::string flag = dir.file("debug");
  const std::vector<std::pair<std::string, bool>> cases = {
      {"TRUE\n", true},  {"true \n", true}, {"True\t\r\n", true}, {"1", true},
      {"1\nfalse", true}, {"yes\n", false}, {"on", false},       {"2\n", false},
      {" 1\n", false},    {"", false},      {"\ntrue\n", false},  {"truex", false},
  };
  for (const auto& [content, expected] : cases) {
    write_file(flag, content);
    EXPECT_EQ(read_control_flag(flag.c_str()), expected) << '"' << content << '"';
  }
  EXPECT_FALSE(read_control_flag(dir.file("missing").c_str()));
}

TEST_F(SppEnvironment, LoadsPresentVariablesAndKeepsAbsentOnesAbsent) {
  setenv("TCPREMOTEIP", "192.0.2.1", 1);
  setenv("SMTPHELOHOST", "mx.example.net", 1);
  setenv("SMTPMAILFROM", "", 1);
  setenv("SMTPRCPTTO", "bob@example.org", 1);
  SessionState state = empty_state;
  state.remote_host = "kept.example";
  EXPECT_EQ(load_spp_env(&state), 0);
  EXPECT_EQ(state.ip, "192.0.2.1");
  EXPECT_EQ(state.remote_host, "kept.example");
  EXPECT_EQ(state.helo, "mx.example.net");
  EXPECT_EQ(state.mail_from, "");
  EXPECT_EQ(state.rcpt_to, "bob@example.org");
  EXPECT_EQ(state.auth_user, std::nullopt);
  EXPECT_EQ(load_spp_env(nullptr), -1);

  std::optional<std::string> field;
  EXPECT_EQ(load_env("SMTPAUTHUSER", &field), 0);
  EXPECT_EQ(load_env("TCPREMOTEIP", &field), 1);
  EXPECT_EQ(field, "192.0.2.1");

  release_state(&state);
  EXPECT_EQ(state.ip, std::nullopt);
  EXPECT_EQ(state.mail_from, std::nullopt);
}

TEST_F(SppEnvironment, MuaWhenRelayClientSetOrSenderAuthenticated) {
  LogCapture capture;
  SessionState state = empty_state;
  state.auth_user = "";
  detect_mua(&state, testing::capture_sink);
  EXPECT_EQ(state.mua, 0);

  state.auth_user = "alice";
  detect_mua(&state, testing::capture_sink);
  EXPECT_EQ(state.mua, 1);

  SessionState relayed = empty_state;
  setenv("RELAYCLIENT", "", 1);
  detect_mua(&relayed, testing::capture_sink);
  EXPECT_EQ(relayed.mua, 1);
  EXPECT_EQ(capture.lines(),
            (std::vector<LoggedLine>{
                {LOG_INFO, "AUTH_USER[alice] set: assuming MUA->MTA connection."},
                {LOG_INFO, "RELAYCLIENT set: assuming MUA->MTA connection."}}));
}

TEST(StateDump, ShowsEveryFieldAndEndsAtDebug) {
  SessionState state = empty_state;
  state.ip = "192.0.2.1";
  state.helo = "mx.example.net";
  state.mail_from = "";
  state.mua = 1;
  state.protocol_state = ProtocolState::RCPT;
  state.mail_resolves = kResolveNo;
  LogCapture capture;
  dump_state(testing::capture_sink, LOG_INFO, state, 1);
  EXPECT_EQ(capture.lines(),
            (std::vector<LoggedLine>{
                {LOG_INFO, "== BEGIN STATE STRUCTURE ==\n"},
                {LOG_INFO, "IP[192.0.2.1] (country: (null))\n"},
                {LOG_INFO, "REVERSE_DNS[(null)]\n"},
                {LOG_INFO, "HELO[mx.example.net] (country: (null)) (resolves: UNKNOWN)\n"},
                {LOG_INFO, "MAIL[] (country: (null)) (resolves: NO)\n"},
                {LOG_INFO, "RCPT[(null)]\n"},
                {LOG_INFO, "AUTH[(null)]\n"},
                {LOG_INFO, "RFC[0]\n"},
                {LOG_INFO, "MUA->MTA[1]\n"},
                {LOG_INFO, "STATE[RCPT]\n"},
                {LOG_DEBUG, "=== END STATE STRUCTURE ===\n"},
            }));
  capture.clear();
  dump_state(testing::capture_sink, LOG_DEBUG, empty_state, 0);
  ASSERT_EQ(capture.lines().size(), 11U);
  EXPECT_EQ(capture.lines()[0].text, "== BEGIN STATE STRUCTURE ==");
  EXPECT_EQ(capture.lines()[9].text, "STATE[INIT]");
}

TEST(ClientValues, ControlBytesBecomeBlanks) {
  EXPECT_EQ(blank_control_bytes(std::string("a\rb\nc\td\x01\x7f\xc3\xa9 z", 13)),
            "a b c d  \xc3\xa9 z");
}

TEST(LoadEnvDeathTest, MissingKeyOrFieldStopsTheProgram) {
  std::optional<std::string> field;
  EXPECT_DEATH(load_env(nullptr, &field), "load_spp_env: load_env\\(\\): assertion failed");
  EXPECT_DEATH(load_env("TCPREMOTEIP", nullptr), "load_spp_env: load_env\\(\\)");
}

}  // namespace
}  // namespace korvex
