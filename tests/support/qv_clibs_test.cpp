#include "support/qv_clibs.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::ChildChannel;
using testing::located_lines;
using testing::LogCapture;
using testing::VerboseDebug;
using Lines = std::vector<std::string>;

std::string error_line(const std::string& text) { return "3 qv_clibs ERROR " + text; }
std::string debug_line(const std::string& text) { return "7 qv_clibs DEBUG " + text; }

std::string uid_of(const char* user) {
  const passwd* account = getpwnam(user);
  return account != nullptr ? std::to_string(account->pw_uid) : "?";
}

TEST(QvSetRunAs, RootSwitchesTheEffectiveIdAndOthersMustAlreadyBeTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const std::string nobody = uid_of("nobody");
  const std::string daemon = uid_of("daemon");
  const auto outcome = testing::run_in_child([](const ChildChannel&) {
    LogCapture capture;
    VerboseDebug verbose;
    std::string report;
    auto step = [&report](const char* user) {
      const int result = qv_set_run_as(user);
      report += std::string(user) + " -> " + std::to_string(result) + " uid " +
                std::to_string(getuid()) + " euid " + std::to_string(geteuid()) + "\n";
    };
    step("root");
    step("nobody");
    step("nobody");
    step("daemon");
    step("root");
    step("");
    for (const auto& line : located_lines(capture)) report += line + "\n";
    return report;
  });
  ASSERT_TRUE(outcome.exited_with(0));
  std::string expected =
      "root -> 1 uid 0 euid 0\n"
      "nobody -> 1 uid 0 euid " +
      nobody +
      "\n"
      "nobody -> 1 uid 0 euid " +
      nobody +
      "\n"
      "daemon -> 0 uid 0 euid " +
      nobody +
      "\n"
      "root -> 0 uid 0 euid " +
      nobody +
      "\n"
      " -> 0 uid 0 euid " +
      nobody + "\n";
  const Lines lines{
      debug_line("qv_set_run_as(): UID for user root is 0"),
      debug_line("qv_set_run_as(): Program is running as UID 0"),
      debug_line("qv_set_run_as(): UID for user nobody is " + nobody),
      debug_line("qv_set_run_as(): Program is running as UID 0"),
      debug_line("qv_set_run_as(): Attempting to set effective UID to " + nobody),
      debug_line("qv_set_run_as(): Effective UID set to " + nobody),
      debug_line("qv_set_run_as(): UID for user nobody is " + nobody),
      debug_line("qv_set_run_as(): Program is running as UID " + nobody),
      debug_line("qv_set_run_as(): UID for user daemon is " + daemon),
      debug_line("qv_set_run_as(): Program is running as UID " + nobody),
      error_line("qv_set_run_as(): This program must be run as 'root' or 'daemon' user"),
      debug_line("qv_set_run_as(): UID for user root is 0"),
      debug_line("qv_set_run_as(): Program is running as UID " + nobody),
      error_line("qv_set_run_as(): This program must be run as 'root' or 'root' user"),
      error_line(std::string("qv_set_run_as(): ") + std::strerror(EINVAL)),
  };
  for (const auto& line : lines) expected += line + "\n";
  EXPECT_EQ(outcome.report, expected);
}

TEST(QvSetRunAs, UnknownUserIsAnError) {
  LogCapture capture;
  EXPECT_EQ(qv_set_run_as("no-such-user-kx"), 0);
  EXPECT_EQ(qv_set_run_as(nullptr), 0);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line(std::string("qv_set_run_as(): Error retrieving no-such-user-kx "
                                          "UID: [") +
                              std::strerror(ENOENT) + "]\n"),
                   error_line(std::string("qv_set_run_as(): ") + std::strerror(EINVAL))}));
}

TEST(QvStopwatch, RefusesAWatchThatWasNeverStarted) {
  LogCapture capture;
  VerboseDebug verbose;
  qv_stopwatch idle{};
  EXPECT_EQ(qv_stopwatch_stop(&idle), -1);
  EXPECT_EQ(qv_stopwatch_stop(nullptr), -1);
  EXPECT_EQ(qv_stopwatch_start(nullptr), 0);
  const std::string invalid = std::strerror(EINVAL);
  EXPECT_EQ(located_lines(capture), (Lines{debug_line("qv_stopwatch_stop(): timer not started"),
                                           error_line("qv_stopwatch_stop(): " + invalid),
                                           error_line("qv_stopwatch_stop(): " + invalid),
                                           error_line("qv_stopwatch_start(): " + invalid)}));
}

TEST(QvStopwatch, ElapsedTimeBorrowsFromTheSeconds) {
  qv_stopwatch watch{};
  watch.stop.tv_sec = 77;  // leftovers are cleared by a start
  ASSERT_EQ(qv_stopwatch_start(&watch), 1);
  EXPECT_NE(watch.start.tv_sec, 0);
  EXPECT_EQ(watch.stop.tv_sec, 0);

  // A start nine tenths into a second: the stop's microseconds are almost surely smaller,
  // so the difference borrows a second.
  watch.start = timeval{1000, 900000};
  LogCapture capture;
  VerboseDebug verbose;
  const double elapsed = qv_stopwatch_stop(&watch);
  const long seconds = watch.stop.tv_sec - 1000;
  const long micros = watch.stop.tv_usec - 900000;
  EXPECT_NEAR(elapsed, static_cast<double>(seconds) + static_cast<double>(micros) / 1e6, 1e-6);
  char elapsed_text[64];
  std::snprintf(elapsed_text, sizeof elapsed_text, "%f", elapsed);
  EXPECT_EQ(located_lines(capture),
            (Lines{debug_line("qv_stopwatch_stop(): timer stopped"),
                   debug_line("qv_stopwatch_stop(): " + std::to_string(seconds) + " secs " +
                              std::to_string(micros) + " usecs"),
                   debug_line(std::string("qv_stopwatch_stop(): elapsed ") + elapsed_text +
                              " seconds")}));

  // The record keeps its start, so a second stop measures from the same point.
  EXPECT_GE(qv_stopwatch_stop(&watch), elapsed);
  EXPECT_EQ(watch.start.tv_sec, 1000);
}

}  // namespace
}  // namespace korvex
