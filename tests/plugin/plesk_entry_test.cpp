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
}

TEST(CoreDirectory, EndsInTheProcessIdOfAtMostFiveDigits) {
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 123), "/var/cores/korvex/00123");
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 98765), "/var/cores/korvex/98765");
  EXPECT_EQ(core_directory("/var/cores/korvex/XXXXX", 1234567), "/var/cores/korvex/12345");
  EXPECT_EQ(core_directory("XXXXX", 42), "XXXXX");
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
