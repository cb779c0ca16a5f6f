#include "update/regex_funcs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "patterns/pattern_index.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/update/update_test_util.h"

namespace korvex {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;
using testing::LoggedLine;
using testing::TempDir;

const std::string kHeader = kRegexListHeader;

bool parse(std::vector<std::string> words, RegexOptions* options) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return handle_args(static_cast<int>(words.size()), argv.data(), options);
}

const char* const kUsage =
    "Usage: regexpull [options]\n\n"
    " Options: \n"
    " -c <CLASS>    only get entries of class CLASS (default: all)\n"
    "               possible CLASSes are: 'tested','testing' or 'all\n"
    " -d            (debug) write output to stdout instead of to a file\n"
    " -e            don't get entries that are marked as \"challenged\"\n"
    " -f <PATH>     the full path to the regex list file to update\n"
    " -h            this usage message\n"
    " -p <PRODUCT>  application requesting the data (default: doravel)\n"
    " -t <TYPE>     only get entries of type TYPE (default: ALL)\n"
    "               possible TYPEs are 'DUL', 'NONDUL' or 'ALL'\n"
    " -v <#VOTES>   only get entries with NUM or more votes (when getting\n"
    "               user contributed entries\n\n"
    "------------------------------------------\n";

TEST(RegexArguments, ParsesEveryOptionAndRejectsBadValuesWithUsage) {
  RegexOptions options;
  ASSERT_TRUE(parse({"regexpull", "-f", "/l", "-c", "TeStEd", "-t", "nondul", "-e", "-p", "korvex",
                     "-v", "7", "-d"},
                    &options));
  EXPECT_EQ(options.file, "/l");
  EXPECT_EQ(options.rclass, kClassTested);
  EXPECT_EQ(options.type, kTypeNonDul);
  EXPECT_TRUE(options.exclude_challenged);
  EXPECT_TRUE(options.debug);
  EXPECT_EQ(options.product, "korvex");
  EXPECT_EQ(options.votes, 7u);
  free_options(&options);
  EXPECT_FALSE(options.file.has_value());
  EXPECT_EQ(options.rclass, kClassAll);

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"regexpull", "-c", "some"}, "unknown class type some\n"},
      {{"regexpull", "-t", "MX"}, "Unknown type MX\n"},
      {{"regexpull", "-v", "five"}, "Invalid number of votes five\n"},
      {{"regexpull", "-h"}, ""},
  };
  for (const auto& [words, message] : refused) {
    RegexOptions fresh;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(parse(words, &fresh));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), message + kUsage) << words[1];
  }
}

TEST(RegexRequest, BodyFieldsInOrder) {
  RegexOptions daemon_run;
  daemon_run.rclass = kClassTested;
  daemon_run.type = kTypeDul;
  daemon_run.exclude_challenged = true;
  daemon_run.product = "korvex";
  EXPECT_EQ(__generate_data(daemon_run),
            "type=DUL&include_contrib=off&include_testing=off&include_challenged=off"
            "&product=korvex&doravel=N");

  RegexOptions all_with_votes;
  all_with_votes.votes = 5;
  EXPECT_EQ(__generate_data(all_with_votes),
            "type=ALL&include_contrib=on&include_contrib_with_votes=5&include_testing=on"
            "&include_challenged=on&product=doravel&doravel=Y");

  RegexOptions tested_votes;
  tested_votes.rclass = kClassTested;
  tested_votes.votes = 5;
  tested_votes.product = "DORAVEL";
  tested_votes.type = kTypeNonDul;
  EXPECT_EQ(__generate_data(tested_votes),
            "type=NONDUL&include_contrib=off&include_testing=off&include_challenged=on"
            "&product=doravel&doravel=Y");

  RegexOptions testing_class;
  testing_class.rclass = kClassTesting;
  EXPECT_EQ(__generate_data(testing_class),
            "type=ALL&include_contrib=off&include_testing=on&include_challenged=on"
            "&product=doravel&doravel=Y");
}

TEST(RegexRequest, DownloadCommandQuotesBodyPathAndUrl) {
  RegexOptions options;
  options.rclass = kClassTested;
  options.type = kTypeDul;
  options.exclude_challenged = true;
  options.product = "k'o;rv`ex`";
  options.file = "/etc/korvex/dynaregex/dyna.regexes";
  EXPECT_EQ(regex_download_command(options, kRegexServiceUrl),
            "'/usr/bin/curl' -f -s -k -A \"Korvex Regex Updater/1.0.5-4\" -d "
            "'type=DUL&include_contrib=off&include_testing=off&include_challenged=off"
            "&product=k'\\''o;rv`ex`&doravel=N' -o '/etc/korvex/dynaregex/dyna.regexes.new' "
            "'http://regex.korvex.example/opensource/anti_spam/dynamic_regex/print_regex.php'");
  options.debug = true;
  options.product.reset();
  EXPECT_EQ(regex_download_command(options, "http://h/p"),
            "'/usr/bin/curl' -f -s -k -A \"Korvex Regex Updater/1.0.5-4\" -d "
            "'type=DUL&include_contrib=off&include_testing=off&include_challenged=off"
            "&product=doravel&doravel=Y' 'http://h/p'");
}

TEST(RegexOwnership, OnlyAbsentFilesAndFilesStartingWithTheHeaderAreOurs) {
  TempDir dir;
  LogCapture capture;
  EXPECT_TRUE(is_ours(dir.file("absent"), testing::capture_sink));
  EXPECT_TRUE(is_ours(dir.write("ours", kHeader + "\n^dyn\\.\n"), testing::capture_sink));
  EXPECT_TRUE(is_ours(dir.write("longer", kHeader + " and more\n"), testing::capture_sink));
  EXPECT_TRUE(capture.lines().empty());

  const std::string short_line = dir.write("short", kHeader.substr(0, 20) + "\n" + kHeader);
  const std::string empty_line = dir.write("empty", "\n" + kHeader + "\n");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(is_ours(short_line, testing::capture_sink));
  EXPECT_FALSE(is_ours(empty_line, testing::capture_sink));
  auto refused = [](const std::string& path) {
    return "Error: file [" + path + "] was not written by this program, will not overwrite.";
  };
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            refused(short_line) + "\n" + refused(empty_line) + "\n");
  EXPECT_THAT(capture.lines(), ElementsAre(LoggedLine{LOG_INFO, refused(short_line)},
                                           LoggedLine{LOG_INFO, refused(empty_line)}));
}

TEST(RegexStartup, FileRequiredOutsideDebugAndProbeLeavesNothing) {
  TempDir dir;
  LogCapture capture;
  RegexOptions options;
  options.log = testing::capture_sink;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(valid_options(options));
  options.file = dir.file("missing-dir/list");
  EXPECT_FALSE(valid_options(options));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "file option must be specified when not running in debug mode\n"
            "Unable to open file [" + *options.file +
                "] for writing. Please check path permissions.\n");
  EXPECT_THAT(capture.texts(),
              ElementsAre("file option must be specified when not running in debug mode",
                          "Unable to open file [" + *options.file +
                              "] for writing. Please check path permissions.\n"));
  options.file = dir.file("list");
  EXPECT_TRUE(valid_options(options));
  EXPECT_FALSE(testing::exists(dir.file("list.test")));
  RegexOptions debug_only;
  debug_only.debug = true;
  EXPECT_TRUE(valid_options(debug_only));
}

// Downloads from a file: URL, which curl serves the same way whatever the POST body.
class RegexDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.file = dir_.write("list", kHeader + "\nold\n");
    options_.log = testing::capture_sink;
  }
  std::string serve(const std::string& body) { return "file://" + dir_.write("served", body); }

  TempDir dir_;
  RegexOptions options_;
  LogCapture capture_;
};

TEST_F(RegexDownload, InstallsListingOverTheFile) {
  const ino_t before = testing::inode_of(*options_.file);
  ASSERT_TRUE(download_regex(options_, serve(kHeader + "\n^dyn-\n")));
  EXPECT_EQ(TempDir::read(*options_.file), kHeader + "\n^dyn-\n");
  EXPECT_NE(testing::inode_of(*options_.file), before);  // renamed into place, not rewritten
  EXPECT_FALSE(testing::exists(*options_.file + ".new"));
  EXPECT_TRUE(capture_.lines().empty());
}

std::vector<std::string> directory_names(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The lines an index holds, as (line number, text, literals) triples.
std::vector<std::string> indexed_lines(const std::string& list) {
  std::string bytes;
  pattern_index index;
  if (!load_pattern_index(pattern_index_path(list), &bytes, &index)) return {"no index"};
  struct stat status {};
  if (::stat(list.c_str(), &status) != 0 || !same_file(index.identity, status)) {
    return {"stale index"};
  }
  std::vector<std::string> lines;
  for (const pattern_record& record : index.records) {
    std::string line = std::to_string(record.line_number) + " " + std::string(record.text);
    for (std::size_t i = 0; i < record.literal_count; ++i) {
      line += " [" + std::string(index.literals[record.first_literal + i]) + "]";
    }
    lines.push_back(line);
  }
  return lines;
}

TEST_F(RegexDownload, EveryInstalledListGetsAFreshIndex) {
  ASSERT_TRUE(download_regex(options_, serve(kHeader + "\n^dyn-\n")));
  EXPECT_THAT(indexed_lines(*options_.file), ElementsAre("2 ^dyn- [dyn-]"));
  ASSERT_TRUE(download_regex(options_, serve(kHeader + "\n\n\\.pool\\.|cable\n(x)\n")));
  EXPECT_THAT(indexed_lines(*options_.file), ElementsAre("3 \\.pool\\.|cable [.pool.] [cable]",
                                                         "4 (x)"));
  EXPECT_EQ(directory_names(dir_.path()),
            (std::vector<std::string>{"list", "list.index", "served"}));
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(RegexDownload, IndexThatCannotBeWrittenNeitherFailsTheUpdateNorOutlivesItsList) {
  // A name that leaves room for F.new and F.index but not for the index's temporary file.
  const std::string name(245, 'n');
  options_.file = dir_.write(name, kHeader + "\nold\n");
  dir_.write(name + ".index", "index of the old list");
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(download_regex(options_, serve(kHeader + "\n^dyn-\n")));
  const std::string problem = "Unable to write the index of [" + *options_.file +
                              "]: cannot create " + *options_.file +
                              ".index.XXXXXX: File name too long";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), problem + "\n");
  EXPECT_THAT(capture_.lines(), ElementsAre(LoggedLine{LOG_ERR, problem}));
  EXPECT_EQ(TempDir::read(*options_.file), kHeader + "\n^dyn-\n");
  EXPECT_EQ(directory_names(dir_.path()), (std::vector<std::string>{"list", name, "served"}));
}

TEST_F(RegexDownload, ErrorPageOrFailedTransferKeepsTheInstalledList) {
  const std::string error_page = "<html>Service unavailable</html>\n";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(download_regex(options_, serve(error_page)));
  EXPECT_FALSE(download_regex(options_, "file://" + dir_.file("nothing-here")));
  const std::string fresh = *options_.file + ".new";
  const std::string failed = "Download of file://" + dir_.file("nothing-here") +
                             " failed: curl: (37) Couldn't read a file:// file";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Downloaded file [" + fresh + "] is not a regex listing, discarded.\n"
            "Error downloading regex file\n" + failed + "\n");
  EXPECT_EQ(TempDir::read(*options_.file), kHeader + "\nold\n");
  EXPECT_FALSE(testing::exists(fresh));
  EXPECT_THAT(capture_.lines(),
              ElementsAre(LoggedLine{LOG_ERR, "Downloaded file [" + fresh +
                                                  "] is not a regex listing, discarded."},
                          LoggedLine{LOG_ERR, "Error downloading regex file"},
                          LoggedLine{LOG_ERR, failed}));
}

TEST_F(RegexDownload, DebugModeWritesToStandardOutputOnly) {
  options_.debug = true;
  const std::string answer = kHeader + "\n^x\n";
  // curl writes straight to descriptor 1, which gtest's capture redirects.
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(download_regex(options_, serve(answer)));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), answer);
  EXPECT_EQ(TempDir::read(*options_.file), kHeader + "\nold\n");
  EXPECT_FALSE(testing::exists(*options_.file + ".new"));
}

}  // namespace
}  // namespace korvex
