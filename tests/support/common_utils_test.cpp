#include "support/common_utils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

TEST(TextField, FieldsLieBetweenSeparatorsAndEmptyOnesCount) {
  std::string field = "untouched";
  EXPECT_TRUE(text_field(0, &field, "alpha beta", ' '));
  EXPECT_EQ(field, "alpha");
  EXPECT_TRUE(text_field(1, &field, "alpha beta", ' '));
  EXPECT_EQ(field, "beta");
  EXPECT_FALSE(text_field(2, &field, "alpha beta", ' '));
  EXPECT_EQ(field, "beta");

  EXPECT_TRUE(text_field(0, &field, ",x,,y,", ','));
  EXPECT_EQ(field, "");
  EXPECT_TRUE(text_field(2, &field, ",x,,y,", ','));
  EXPECT_EQ(field, "");
  EXPECT_TRUE(text_field(3, &field, ",x,,y,", ','));
  EXPECT_EQ(field, "y");
  EXPECT_TRUE(text_field(4, &field, ",x,,y,", ','));
  EXPECT_EQ(field, "");
  EXPECT_FALSE(text_field(5, &field, ",x,,y,", ','));

  field = "kept";
  for (unsigned index = 0; index < 3; ++index) EXPECT_FALSE(text_field(index, &field, "", ' '));
  EXPECT_EQ(field, "kept");
  EXPECT_FALSE(text_field(0, nullptr, "a b", ' '));
}

TEST(TextAppendAndReplace, AppendGrowsAndReplaceEndsEvenWhenTheReplacementHoldsTheToken) {
  std::string text;
  text_append(&text, "abc");
  text_append(&text, "");
  text_append(&text, "def");
  EXPECT_EQ(text, "abcdef");
  text_append(nullptr, "ignored");

  text = "Rejected %IP%: see %URL% about %IP%";
  text_replace_all(&text, "%IP%", "192.0.2.1");
  EXPECT_EQ(text, "Rejected 192.0.2.1: see %URL% about 192.0.2.1");

  text = "%IP%%IP% and %IP%";
  text_replace_all(&text, "%IP%", "<%IP%>");
  EXPECT_EQ(text, "<%IP%><%IP%> and <%IP%>");

  text = "aaaa";
  text_replace_all(&text, "aa", "a");
  EXPECT_EQ(text, "aa");
  text_replace_all(&text, "", "x");
  EXPECT_EQ(text, "aa");
  text_replace_all(&text, "b", "x");
  EXPECT_EQ(text, "aa");
  text_replace_all(&text, "a", "");
  EXPECT_EQ(text, "");
}

TEST(NumbersAndNames, DecimalTextAndPerProcessTemporaryNames) {
  std::string text = "old";
  const std::vector<std::pair<int, std::string>> cases{{0, "0"},
                                                       {7, "7"},
                                                       {10, "10"},
                                                       {100, "100"},
                                                       {105, "105"},
                                                       {1000, "1000"},
                                                       {INT_MAX, "2147483647"},
                                                       {-42, "-42"}};
  for (const auto& [value, expected] : cases) {
    int_to_text(value, &text);
    EXPECT_EQ(text, expected);
  }
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(temp_file_name("kxh"), "/tmp/kxh." + pid);
  EXPECT_EQ(temp_file_name("kxd"), "/tmp/kxd." + pid);
}

TEST(PathTests, DirectoriesFilesAndExecutables) {
  ScratchDir dir;
  const std::string plain = dir / "plain";
  const std::string script = dir / "script";
  write_file(plain, "data");
  write_file(script, "#!/bin/sh\n");
  ASSERT_EQ(chmod(plain.c_str(), 0644), 0);
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  ASSERT_EQ(symlink(script.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), (dir / "dirlink").c_str()), 0);

  EXPECT_TRUE(path_is_directory(dir.path()));
  EXPECT_TRUE(path_is_directory(dir / "dirlink"));
  EXPECT_FALSE(path_is_directory(plain));
  EXPECT_FALSE(path_is_directory(dir / "missing"));

  EXPECT_TRUE(path_is_file(plain));
  EXPECT_TRUE(path_is_file(dir / "link"));
  EXPECT_FALSE(path_is_file(dir.path()));
  EXPECT_FALSE(path_is_file(dir / "missing"));

  EXPECT_TRUE(path_is_executable(script));
  EXPECT_TRUE(path_is_executable(dir / "link"));
  EXPECT_FALSE(path_is_executable(plain));
  EXPECT_FALSE(path_is_executable(dir.path()));
  EXPECT_FALSE(path_is_executable(dir / "missing"));
}

TEST(RegexExtract, FirstMatchOrSecondPatternFromTheFirstMatchOn) {
  std::string output = "old";
  EXPECT_EQ(regex_extract(&output, "^(.*):", nullptr, "http://mirror.example/tarn"), 0);
  EXPECT_EQ(output, "http:");
  // The second search starts where the first match starts, not at the subject's start.
  EXPECT_EQ(regex_extract(&output, "name=", "[0-9]+", "7 name=x 42 9"), 0);
  EXPECT_EQ(output, "42");
  EXPECT_EQ(regex_extract(&output, "b+", "^b", "aabbb"), 0);
  EXPECT_EQ(output, "b");

  output = "kept";
  EXPECT_EQ(regex_extract(&output, "zzz", nullptr, "abc"), -2);
  EXPECT_EQ(regex_extract(&output, "(", nullptr, "abc"), -1);
  EXPECT_EQ(regex_extract(&output, "b", "(", "abc"), -3);
  EXPECT_EQ(regex_extract(&output, "b", "a", "abc"), -4);
  EXPECT_EQ(regex_extract(&output, nullptr, nullptr, "abc"), -1);
  EXPECT_EQ(regex_extract(&output, "a", nullptr, nullptr), -1);
  EXPECT_EQ(regex_extract(nullptr, "a", nullptr, "abc"), -1);
  EXPECT_EQ(output, "kept");
}

TEST(RegexExtract, NumbersAndPlainFailureCodes) {
  int value = -1;
  EXPECT_EQ(regex_extract_int(&value, "Content-Length: [0-9]+", "[0-9]+",
                              "HTTP/1.1 200 OK\nContent-Length: 1234\n"),
            0);
  EXPECT_EQ(value, 1234);
  EXPECT_EQ(regex_extract_int(&value, "[a-z]+", nullptr, "abc"), 0);
  EXPECT_EQ(value, 0);
  value = 5;
  EXPECT_EQ(regex_extract_int(&value, "x", "y", "x"), -4);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(regex_extract_int(nullptr, "x", nullptr, "x"), -1);

  std::string text = "kept";
  EXPECT_EQ(regex_extract_text(&text, "[0-9]+", nullptr, "abc"), -1);
  EXPECT_EQ(regex_extract_text(&text, "b", "(", "abc"), -1);
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(regex_extract_text(&text, "[0-9]+", nullptr, "ab12c"), 0);
  EXPECT_EQ(text, "12");
}

TEST(RunCommand, ExitStatusesSignalsAndNoCommand) {
  EXPECT_EQ(run_command("true"), 0);
  EXPECT_EQ(run_command("exit 7"), 7);
  EXPECT_EQ(run_command("exit 255"), 255);
  // Killed commands are failures, numbered as shells number them.
  EXPECT_EQ(run_command("kill -TERM $$"), 128 + SIGTERM);
  EXPECT_EQ(run_command("kill -KILL $$"), 128 + SIGKILL);
  EXPECT_EQ(run_command(nullptr), -1);
}

TEST(ShellQuote, EveryValueReachesTheCommandUnchanged) {
  ScratchDir dir;
  const std::string out = dir / "out";
  const std::vector<std::string> values{
      "",
      "plain",
      "it's",
      "''",
      "$(touch " + dir.path() + "/pwned) `id` ${HOME} \"dq\" \\n \\ ; | & > < * ? ~ #",
      "line one\nline two\ttab",
  };
  for (const std::string& value : values) {
    ASSERT_EQ(run_command(("printf %s " + shell_quote(value) + " > " + out).c_str()), 0);
    EXPECT_EQ(read_file(out), value);
  }
  EXPECT_FALSE(path_is_file(dir / "pwned"));
  EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
}

}  // namespace
}  // namespace korvex
