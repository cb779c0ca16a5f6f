#include "lists/control_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lists/list_paths.h"
#include "tests/lists/list_test_dir.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::exists;
using testing::ListDir;
using testing::LoggedLine;
using testing::read_file;
using testing::write_file;

std::vector<std::string> directory_names(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(path)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ControlFiles, ReadingSortsKeepsDuplicatesAndSkipsBlankLines) {
  ListDir dir;
  EXPECT_EQ(read_rules_enabled(dir.base()), string_list{});
  write_file(control_file_path(dir.base(), kRulesEnabledFile), "zeta\nalpha\n\nmid\n");
  EXPECT_EQ(read_rules_enabled(dir.base()), (string_list{"alpha", "mid", "zeta"}));
  write_file(control_file_path(dir.base(), kRulesDisabledFile), "b\r\na\r\n\r\nb\r\n");
  EXPECT_EQ(read_rules_disabled(dir.base()), (string_list{"a", "b", "b"}));
  write_file(control_file_path(dir.base(), kTarnEnabledFile), "b\na\nb");
  EXPECT_EQ(read_tarn_list(kTarnEnabledList, dir.base()), (string_list{"a", "b", "b"}));
  EXPECT_EQ(read_tarn_list(1, dir.base()), std::nullopt);
}

TEST(ControlFiles, ReadListFileAddsToTheDestination) {
  ListDir dir;
  const std::string path = dir.path("names");
  write_file(path, "m\n" + std::string(1100, 'x') + "\nc\n");
  string_list names{"d"};
  EXPECT_EQ(read_list_file(path, &names), 0);
  EXPECT_EQ(names, (string_list{"c", "d", "m"}));
  EXPECT_EQ(read_list_file(path, nullptr), -1);
  EXPECT_EQ(read_list_file(dir.path("absent"), &names), 0);
  EXPECT_EQ(names, (string_list{"c", "d", "m"}));
}

TEST(ControlFiles, WritingReplacesTheWholeFileAndLeavesNoTemporaryFile) {
  ListDir dir;
  const mode_t previous = umask(022);
  EXPECT_EQ(write_rules_enabled({"require_helo", "known_sender_forgery"}, dir.base()), 0);
  EXPECT_EQ(write_rules_disabled({"b", "a"}, dir.base()), 0);
  umask(previous);
  const std::string enabled = control_file_path(dir.base(), kRulesEnabledFile);
  EXPECT_EQ(read_file(enabled), "require_helo\nknown_sender_forgery\n");
  EXPECT_EQ(read_file(control_file_path(dir.base(), kRulesDisabledFile)), "b\na\n");
  struct stat status {};
  ASSERT_EQ(stat(enabled.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  EXPECT_EQ(write_rules_enabled({}, dir.base()), 0);
  EXPECT_EQ(read_file(enabled), "");
  EXPECT_EQ(directory_names(dir.path("control")),
            (std::vector<std::string>{"rules.disabled", "rules.enabled"}));
}

TEST(ControlFiles, UnwritableDirectoryGivesOne) {
  ListDir dir;
  std::filesystem::remove(dir.path("control"));
  EXPECT_EQ(write_rules_enabled({"a"}, dir.base()), 1);
  EXPECT_EQ(populate_list(nullptr, kTarnEnabledList, {"a"}, dir.base()), 1);
  EXPECT_EQ(directory_names(dir.base()), std::vector<std::string>{});
}

TEST(ControlFiles, ClearingRemovesWhetherOrNotTheFileExists) {
  ListDir dir;
  ASSERT_EQ(write_rules_enabled({"a"}, dir.base()), 0);
  ASSERT_EQ(write_rules_disabled({"a"}, dir.base()), 0);
  ASSERT_EQ(populate_list(nullptr, kTarnEnabledList, {"t"}, dir.base()), 0);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(clear_rules_enabled(dir.base()), 0);
    EXPECT_EQ(clear_rules_disabled(dir.base()), 0);
    EXPECT_EQ(clear_tarn_list(nullptr, kTarnEnabledList, dir.base()), 0);
  }
  EXPECT_EQ(directory_names(dir.path("control")), std::vector<std::string>{});
}

TEST(ControlFiles, TarnFileTakesOnlyIdZero) {
  ListDir dir;
  testing::LogCapture capture;
  EXPECT_EQ(populate_list(testing::capture_sink, kTarnEnabledList, {"zen", "abc"}, dir.base()), 0);
  EXPECT_EQ(read_file(control_file_path(dir.base(), kTarnEnabledFile)), "zen\nabc\n");
  EXPECT_EQ(populate_list(testing::capture_sink, 1, {"x"}, dir.base()), -1);
  EXPECT_EQ(clear_tarn_list(testing::capture_sink, 3, dir.base()), -1);
  EXPECT_EQ(populate_list(nullptr, 2, {"x"}, dir.base()), -1);
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{
                                 {4, "Warning: populate_list() called with unknown list id [1]"},
                                 {4, "Warning: populate_list() called with unknown list id [3]"}}));
  EXPECT_EQ(read_file(control_file_path(dir.base(), kTarnEnabledFile)), "zen\nabc\n");
}

TEST(ControlFiles, ReadersNeverSeeAHalfWrittenFile) {
  ListDir dir;
  string_list small{"a"};
  string_list large;
  for (int i = 0; i < 400; ++i) large.push_back("rule_" + std::to_string(i));
  ASSERT_EQ(write_rules_disabled(small, dir.base()), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    for (int i = 0; i < 400; ++i) {
      if (write_rules_disabled(i % 2 == 0 ? large : small, dir.base()) != 0) _exit(1);
    }
    _exit(0);
  }
  string_list sorted_large = large;
  std::sort(sorted_large.begin(), sorted_large.end());
  int torn = 0;
  int status = 0;
  while (waitpid(writer, &status, WNOHANG) == 0) {
    const string_list seen = read_rules_disabled(dir.base());
    if (seen != small && seen != sorted_large) ++torn;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace korvex
