#include "update/tarn_functions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/update/update_test_util.h"

namespace korvex {
namespace {

using ::testing::ElementsAre;
using testing::LogCapture;
using testing::LoggedLine;
using testing::TempDir;

constexpr const char* kMap = "korvex.map contents\x01\x02\n";

std::vector<char*> argv_of(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

TEST(TarnListFile, ReadsEntriesDroppingCommentsCarriageReturnsAndBlankLines) {
  TempDir dir;
  const std::string long_entry(kListEntryMax + 1, 'x');
  const std::string path = dir.write(
      "lists", "# header comment\r\nfirst\r\n\n  spaced entry # trailing\nse\rcond#x\n" +
                   long_entry + "\n" + std::string(kListEntryMax, 'y') + "\nlast");
  LogCapture capture;
  string_list entries;
  ASSERT_TRUE(__read_list_file(path, &entries, testing::capture_sink));
  EXPECT_EQ(entries, (string_list{"first", "  spaced entry ", "second",
                                  std::string(kListEntryMax, 'y'), "last"}));
  EXPECT_THAT(capture.lines(),
              ElementsAre(LoggedLine{LOG_WARNING, "Entry longer than 1023 characters in " + path +
                                                      " skipped"}));
}

TEST(TarnListFile, MissingOrCommentOnlyFiles) {
  TempDir dir;
  LogCapture capture;
  string_list entries;
  const std::string missing = dir.file("absent");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(__read_list_file(missing, &entries, testing::capture_sink));
  EXPECT_FALSE(__read_list_file(dir.path(), &entries, testing::capture_sink));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Error: file " + missing + " does not exist\nError: file " + dir.path() +
                " does not exist\n");
  EXPECT_THAT(capture.lines(),
              ElementsAre(LoggedLine{LOG_ERR, "Error: file " + missing + " does not exist"},
                          LoggedLine{LOG_ERR, "Error: file " + dir.path() + " does not exist"}));
  EXPECT_TRUE(__read_list_file(dir.write("c", "# only\n\n   # comment\r\n"), &entries,
                               testing::capture_sink));
  EXPECT_EQ(entries, (string_list{"   "}));  // blanks before a comment are an entry
}

TEST(TarnMirrorType, LongestColonPrefixWithoutCase) {
  EXPECT_EQ(__mirror_type("http://mirror.example/tarn/"), MirrorType::Http);
  EXPECT_EQ(__mirror_type("HTTP://mirror.example/tarn/"), MirrorType::Http);
  EXPECT_EQ(__mirror_type("ftp://mirror.example/"), MirrorType::Ftp);
  EXPECT_EQ(__mirror_type("File:///srv/tarn/"), MirrorType::File);
  EXPECT_EQ(__mirror_type("http://mirror.example:8080/tarn/"), std::nullopt);
  EXPECT_EQ(__mirror_type("gopher://mirror.example/"), std::nullopt);
  EXPECT_EQ(__mirror_type("mirror.example/tarn/"), std::nullopt);
}

TEST(TarnArguments, OptionsDefaultsAndUsageErrors) {
  std::vector<std::string> words = {"tarn_update", "-f", "a", "-m", "m", "-f", "b", "-u", "/out/"};
  TarnOptions options;
  ASSERT_TRUE(handle_arguments(static_cast<int>(words.size()), argv_of(words).data(), &options));
  EXPECT_EQ(options.lists_file, "b");
  EXPECT_EQ(options.mirror_file, "m");
  EXPECT_TRUE(options.update);
  EXPECT_EQ(options.output_dir, "/out/");
  EXPECT_EQ(options.incoming_dir, "/out/incoming");

  std::vector<std::string> plain = {"tarn_update", "/var/cache/tarn/"};
  TarnOptions defaults;
  ASSERT_TRUE(handle_arguments(2, argv_of(plain).data(), &defaults));
  EXPECT_EQ(defaults.lists_file, "/etc/korvex/tarn/lists_to_update");
  EXPECT_EQ(defaults.mirror_file, "/etc/korvex/tarn/mirror_info");
  EXPECT_FALSE(defaults.update);

  const std::string usage =
      "Usage: tarn_update [-f listsfile] [-m mirrorfile] [-u] <outdir>\n"
      "--------------------------------------------------\n";
  std::vector<std::string> unknown = {"tarn_update", "-x", "/out/"};
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(handle_arguments(3, argv_of(unknown).data(), &options));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unrecognized option: -x\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), usage);

  std::vector<std::string> no_dir = {"tarn_update", "-u"};
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(handle_arguments(2, argv_of(no_dir).data(), &options));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), usage);
}

TEST(TarnArguments, EnvironmentChecks) {
  TempDir dir;
  TarnOptions options;
  options.log = ::korvex::testing::capture_sink;
  ::korvex::testing::captured_lines().clear();
  options.output_dir = dir.path() + "/";
  options.incoming_dir = options.output_dir + "incoming";
  options.update = true;
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(valid_options(options));
  ASSERT_EQ(::mkdir(options.incoming_dir.c_str(), 0755), 0);
  EXPECT_TRUE(valid_options(options));
  const std::string absent = dir.file("bzip2");
  EXPECT_FALSE(valid_options(options, {kCurlPath, absent.c_str(), "/also/missing"}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "incoming directory " + options.incoming_dir + " doesn't exist\n" +
                "Required utility " + absent + " not available or not executable\n");
  // Said in the mail log too: run from cron, nobody reads standard output.
  EXPECT_EQ(::korvex::testing::captured_lines(),
            (std::vector<::korvex::testing::LoggedLine>{
                {LOG_ERR, "incoming directory " + options.incoming_dir + " doesn't exist"},
                {LOG_ERR, "Required utility " + absent + " not available or not executable"}}));
}

TEST(TarnCommands, DownloadLinesPerMirrorTypeWithQuotedValues) {
  EXPECT_EQ(tarn_fetch_command(MirrorType::Http, "http://m.example/t/", "list", "/in/list.bz2"),
            "'/usr/bin/curl' -sS -f -m 240 --connect-timeout 10 --time-cond '/in/list.bz2' "
            "-o '/in/list.bz2' 'http://m.example/t/list.bz2'");
  EXPECT_EQ(tarn_fetch_command(MirrorType::Ftp, "ftp://m/", "l", "/o/l.bz2"),
            "'/usr/bin/curl' -sS -m 240 --connect-timeout 10 -o '/o/l.bz2' 'ftp://m/l.bz2'");
  // Nothing of a mirror entry or list name reaches the shell unquoted.
  EXPECT_EQ(tarn_fetch_command(MirrorType::File, "file:///x/$(touch y)`id`;", "a'b", "/o/a'b.bz2"),
            "'/usr/bin/curl' -sS -o '/o/a'\\''b.bz2' 'file:///x/$(touch y)`id`;a'\\''b.bz2'");
}

TEST(TarnDigest, Md5OfFileAndFailure) {
  TempDir dir;
  LogCapture capture;
  std::optional<std::string> digest;
  get_md5(dir.write("abc", "abc"), &digest, testing::capture_sink);
  EXPECT_EQ(digest, "900150983cd24fb0d6963f7d28e17f72");
  ::testing::internal::CaptureStderr();
  get_md5(dir.file("missing"), &digest, testing::capture_sink);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "/usr/bin/md5sum: " + dir.file("missing") +
                ": No such file or directory\nError generating md5sum...1\n");
  EXPECT_EQ(digest, "900150983cd24fb0d6963f7d28e17f72");  // left as it was
  EXPECT_THAT(capture.lines(), ElementsAre(LoggedLine{LOG_WARNING, "Error generating md5sum...1"}));
}

TEST(TarnBunzip, ReplacesMapInOneStepOrReportsFailure) {
  TempDir dir;
  LogCapture capture;
  testing::make_archive(dir, "list.bz2", kMap);
  const std::string map = dir.write("map", "old map");
  const std::string archive = dir.file("list.bz2");
  ASSERT_TRUE(bunzip(archive, map, testing::capture_sink));
  EXPECT_EQ(TempDir::read(map), kMap);
  EXPECT_TRUE(testing::exists(archive));
  EXPECT_FALSE(testing::exists(dir.file("list")));

  // A truncated archive fails to decompress; its partial output is removed.
  const std::string whole = TempDir::read(archive);
  const std::string broken = dir.write("broken.bz2", whole.substr(0, whole.size() / 2));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(bunzip(broken, map, testing::capture_sink));
  (void)::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(testing::exists(dir.file("broken")));
  // A destination that cannot be replaced keeps what is there.
  const std::string occupied = dir.file("occupied");
  ASSERT_EQ(::mkdir(occupied.c_str(), 0755), 0);
  dir.write("occupied/entry", "x");
  EXPECT_FALSE(bunzip(archive, occupied, testing::capture_sink));
  EXPECT_FALSE(testing::exists(dir.file("list")));
  EXPECT_FALSE(bunzip(dir.file("gone.bz2"), map, testing::capture_sink));
  EXPECT_EQ(TempDir::read(map), kMap);
  EXPECT_THAT(capture.lines(),
              ElementsAre(LoggedLine{LOG_ERR, "[" + broken +
                                                  "]: error decompressing. Command: ['/bin/bzip2' "
                                                  "-skfd '" + broken + "']"},
                          LoggedLine{LOG_ERR, "[" + occupied + "]: error replacing."},
                          LoggedLine{LOG_ERR, "source archive [" + dir.file("gone.bz2") +
                                                  "] does not exist"}));
}

// A mirror tree with file: URLs and an output directory with its incoming directory.
class TarnRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(mirror_a_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(mirror_b_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(out_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((out_ + "/incoming").c_str(), 0755), 0);
    options_.output_dir = out_ + "/";
    options_.incoming_dir = options_.output_dir + "incoming";
    options_.update = true;
    options_.log = testing::capture_sink;
  }

  void publish(const std::string& mirror_dir, const std::string& contents) {
    TempDir scratch;
    testing::make_archive(scratch, "list.bz2", contents);
    ASSERT_EQ(std::rename(scratch.file("list.bz2").c_str(), (mirror_dir + "/list.bz2").c_str()), 0);
  }

  std::string map() const { return out_ + "/list"; }
  std::string archive() const { return options_.incoming_dir + "/list.bz2"; }
  std::string url(const std::string& dir) const { return "file://" + dir + "/"; }

  TempDir dir_;
  std::string mirror_a_ = dir_.file("a");
  std::string mirror_b_ = dir_.file("b");
  std::string out_ = dir_.file("out");
  TarnOptions options_;
  LogCapture capture_;
};

TEST_F(TarnRun, InstallsThenLeavesUnchangedArchiveAloneAndRebuildsLostMap) {
  publish(mirror_a_, kMap);
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), kMap);
  EXPECT_TRUE(testing::exists(archive()));

  // Same archive again: the map is not decompressed again.
  std::ofstream(map(), std::ios::trunc) << "edited locally";
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), "edited locally");

  // A lost map is rebuilt although the archive did not change.
  ASSERT_EQ(std::remove(map().c_str()), 0);
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), kMap);

  // A changed archive replaces the map.
  publish(mirror_a_, "second map\n");
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), "second map\n");
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(TarnRun, InstallCutOffByAKillIsRedoneByTheNextRun) {
  publish(mirror_a_, kMap);
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_FALSE(testing::exists(archive() + ".unfinished"));
  // What a run killed between its download and the rename leaves: the new archive kept,
  // the old map in place and the marker. The unchanged digest must not keep the old map.
  std::ofstream(map(), std::ios::trunc) << "old map";
  std::ofstream(archive() + ".unfinished").close();
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), kMap);
  EXPECT_FALSE(testing::exists(archive() + ".unfinished"));
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(TarnRun, CorruptDownloadFallsBackToNextMirror) {
  std::ofstream(mirror_a_ + "/list.bz2") << "garbage, not bzip2";
  publish(mirror_b_, kMap);
  processTarn(options_, {url(mirror_a_), url(mirror_b_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), kMap);
  EXPECT_THAT(capture_.lines(),
              ElementsAre(LoggedLine{LOG_ERR, "[" + archive() + "]: downloaded file is corrupt. Removed."}));
}

TEST_F(TarnRun, CorruptArchiveInIncomingIsRemovedBeforeDownload) {
  std::ofstream(archive()) << "left from a broken run";
  publish(mirror_a_, kMap);
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(map()), kMap);
  EXPECT_THAT(capture_.lines(),
              ElementsAre(LoggedLine{LOG_ERR, "[" + archive() + "]: current bz file is corrupt. Removed."}));
}

TEST_F(TarnRun, FailingMirrorsLeaveTheMapAndGoOnWithTheNextList) {
  std::ofstream(map()) << "installed map";
  publish(mirror_b_, kMap);
  ASSERT_EQ(std::rename((mirror_b_ + "/list.bz2").c_str(), (mirror_b_ + "/other.bz2").c_str()), 0);
  const std::string ported = "http://127.0.0.1:9/";
  // The transfer's failure in curl's words, with the URL it tried.
  const auto missing = [this](const std::string& list) {
    return "Download of " + url(mirror_a_) + list +
           ".bz2 failed: curl: (37) Couldn't read a file:// file";
  };
  processTarn(options_, {ported, url(mirror_a_)}, {"list", "other"});
  EXPECT_EQ(TempDir::read(map()), "installed map");
  EXPECT_FALSE(testing::exists(archive()));
  EXPECT_THAT(capture_.lines(),
              ElementsAre(LoggedLine{LOG_WARNING, "Unable to determine mirror type: " + ported + "\n"},
                          LoggedLine{LOG_WARNING, "Failed to fetch entire file [list] from [" + ported + "]"},
                          LoggedLine{LOG_ERR, missing("list")},
                          LoggedLine{LOG_WARNING, "Failed to fetch entire file [list] from [" + url(mirror_a_) + "]"},
                          LoggedLine{LOG_WARNING, "Unable to determine mirror type: " + ported + "\n"},
                          LoggedLine{LOG_WARNING, "Failed to fetch entire file [other] from [" + ported + "]"},
                          LoggedLine{LOG_ERR, missing("other")},
                          LoggedLine{LOG_WARNING, "Failed to fetch entire file [other] from [" + url(mirror_a_) + "]"}));
}

TEST_F(TarnRun, WithoutUpdateModeOnlyDownloadsIntoOutputDirectory) {
  options_.update = false;
  std::ofstream(mirror_a_ + "/list.bz2") << "not even an archive";
  processTarn(options_, {url(mirror_a_)}, {"list"});
  EXPECT_EQ(TempDir::read(out_ + "/list.bz2"), "not even an archive");
  EXPECT_FALSE(testing::exists(map()));
  EXPECT_FALSE(testing::exists(archive()));
  EXPECT_TRUE(capture_.lines().empty());
}

}  // namespace
}  // namespace korvex
