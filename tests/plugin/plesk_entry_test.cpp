#include "plugin/plesk_entry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include <string>
#include <vector>

#include "plugin_test_util.h"

namespace korvex {
namespace {

using testing::CapturedStream;
using testing::TempDir;

PleskOptions parse(std::vector<std::string> words, std::string* errors) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  optind = 0;  // a full restart of getopt's scan for each command line
  CapturedStream err;
  const PleskOptions options =
      parse_plesk_options(static_cast<int>(words.size()), argv.data(), err.get());
  *errors = err.text();
  return options;
}

TEST(PleskOptions, ShowTestAndUnknownLetters) {
  std::string errors;
  PleskOptions options = parse({"korvex-plesk", "-t"}, &errors);
  EXPECT_FALSE(options.show_config);
  EXPECT_FALSE(options.bad_option);
  EXPECT_EQ(errors, "");

  options = parse({"korvex-plesk", "-ts"}, &errors);
  EXPECT_TRUE(options.show_config);
  EXPECT_FALSE(options.bad_option);

  options = parse({"korvex-plesk", "-x", "-s", "-qt"}, &errors);
  EXPECT_TRUE(options.bad_option);
  EXPECT_EQ(errors, "Unrecognized option: -x\nUnrecognized option: -q\n");

  CapturedStream usage;
  print_plesk_usage(usage.get());
  EXPECT_EQ(usage.text(),
            "Usage: korvex-plesk [options]\n\n"
            "   -s      Show config and exit.\n"
            "\nNOTE: korvex-plesk is generally meant to be run by qmail-spp with no arguments.\n");
}

TEST(CoreDirectory, EndsInTheProcessIdOfAtMostFiveDigits) {
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 123), "/var/cores/korvex/00123");
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 98765), "/var/cores/korvex/98765");
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 1234567), "/var/cores/korvex/12345");
  EXPECT_EQ(core_directory("XXXXX", 42), "XXXXX");
}

TEST(ControlReport, FlagsThenRuleSet) {
  TempDir control;
  EngineContext context = korvex_init(nullptr, control.path());
  CapturedStream err;
  print_control_report(err.get(), true, false, context);
  const std::string report = err.text();
  const std::string head =
      "Control files:\n"
      "==============\n"
      " - Logging to mail.debug is enabled.\n"
      " - Core dumps (in /var/cores/korvex) are NOT enabled.\n\n"
      "Current Ruleset (rules are checked in order listed):\n\n";
  EXPECT_EQ(report.substr(0, head.size()), head);
  const std::string tail =
      "known_sender_forgery        Disabled   Disabled   Yes\n\n"
      "Enabled TARN Lists:\n==================\nNo TARN lists enabled.\n";
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
  korvex_teardown(&context);
}

TEST(CrashHandlerDeathTest, SegfaultWithoutCoreDumpsExitsOne) {
  const auto crash = [] {
    install_crash_handler("/nonexistent/korvex/00001");
    set_crash_core_dump(true);  // the directory cannot be made: falls back to exit 1
    (void)raise(SIGSEGV);
  };
  EXPECT_EXIT(crash(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace korvex

namespace korvex {
namespace {

TEST(CrashHandlerDeathTest, SegfaultWithCoreDumpsAbortsInsideTheCoreDirectory) {
  TempDir cores;
  const std::string core_dir = cores.file("00001");
  const auto crash = [&] {
    install_crash_handler(core_dir);
    set_crash_core_dump(true);
    (void)raise(SIGSEGV);
  };
  EXPECT_EXIT(crash(), ::testing::KilledBySignal(SIGABRT), "");
  EXPECT_TRUE(std::filesystem::is_directory(core_dir));
}

}  // namespace
}  // namespace korvex
