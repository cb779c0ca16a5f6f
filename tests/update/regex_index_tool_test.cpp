// korvex-regex-index: usage, indexing several lists, and going on past a list it cannot read.
#include "update/regex_index_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "patterns/pattern_index.h"
#include "tests/support/temp_dir.h"
#include "tests/update/update_test_util.h"

namespace korvex {
namespace {

using testing::TempDir;

struct tool_run {
  int status = 0;
  std::string out;
  std::string err;
};

std::string text_of(std::FILE* stream) {
  std::rewind(stream);
  std::string text;
  for (int c = 0; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
  (void)std::fclose(stream);
  return text;
}

tool_run run_tool(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_NE(out, nullptr);
  EXPECT_NE(err, nullptr);
  tool_run run;
  run.status = regex_index_tool(static_cast<int>(words.size()), argv.data(), out, err);
  run.out = text_of(out);
  run.err = text_of(err);
  return run;
}

const char* const kUsage =
    "Usage: korvex-regex-index [-h] LIST...\n"
    "Rebuilds LIST.index beside each pattern list LIST, so that korvex-plesk can pass\n"
    "over the expressions that cannot match a host name instead of compiling them all.\n"
    "Run it after editing a list by hand; regexpull rebuilds the index of the lists it\n"
    "installs. Exit status 0 when every index was written, 1 otherwise.\n";

TEST(RegexIndexTool, UsageAndCommandLineErrors) {
  const tool_run help = run_tool({"korvex-regex-index", "-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, kUsage);
  EXPECT_EQ(help.err, "");
  const tool_run nothing = run_tool({"korvex-regex-index"});
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.out, "");
  EXPECT_EQ(nothing.err, kUsage);
}

TEST(RegexIndexTool, IndexesEveryListAndGoesOnPastOneItCannotRead) {
  TempDir dir;
  const std::string first = dir.write("first", "# header\n^dyn-[0-9]+\\.\n[\n(x)\n");
  const std::string second = dir.write("second", "\\.pool\\.\n");
  const std::string missing = dir.file("missing");
  const tool_run run = run_tool({"korvex-regex-index", first, missing, second});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, first + ".index: 3 expressions, 1 with a filter, 1 not compiling\n" +
                         second + ".index: 1 expressions, 1 with a filter, 0 not compiling\n");
  EXPECT_EQ(run.err, "korvex-regex-index: cannot open " + missing +
                         ": No such file or directory\n");
  std::string bytes;
  pattern_index index;
  ASSERT_TRUE(load_pattern_index(second + ".index", &bytes, &index));
  ASSERT_EQ(index.records.size(), 1u);
  EXPECT_EQ(index.records[0].text, "\\.pool\\.");
  EXPECT_EQ(std::vector<std::string_view>(index.literals), std::vector<std::string_view>{".pool."});
  EXPECT_FALSE(testing::exists(missing + ".index"));
}

}  // namespace
}  // namespace korvex
