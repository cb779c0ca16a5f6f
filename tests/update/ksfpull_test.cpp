#include "update/ksfpull.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "tests/support/temp_dir.h"
#include "tests/update/update_test_util.h"

namespace korvex {
namespace {

using testing::TempDir;

constexpr const char* kTable = "example.org 192.0.2.0/24\nexample.net 198.51.100.7\n";

// A control directory, a mirror file and a stand-in curl that answers every URL with the
// status and body the test sets, recording each URL it was asked for.
class KsfRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(paths_.control_dir.c_str(), 0755), 0);
    paths_.mirror_file = paths_.control_dir + "/ksf.mirrors";
    paths_.table_file = paths_.control_dir + "/valid_domain_ips";
    paths_.curl = testing::write_script(
        dir_, "curl",
        "while [ $# -gt 0 ]; do\n"
        "  case \"$1\" in -o) body=$2; shift;; -D) head=$2; shift;; esac\n"
        "  url=$1; shift\n"
        "done\n"
        "printf '%s\\n' \"$url\" >> " + dir_.file("calls") + "\n" +
            "printf 'HTTP/1.1 %s Whatever\\r\\n\\r\\n' \"$(cat " + dir_.file("status") +
            ")\" > \"$head\"\n"
            "cat " + dir_.file("body") + " > \"$body\"\n");
    answer(200, kTable);
  }

  void answer(int status, const std::string& body) {
    dir_.write("status", std::to_string(status));
    dir_.write("body", body);
  }
  std::string calls() const { return TempDir::read(dir_.file("calls")); }

  int run() {
    ::testing::internal::CaptureStdout();
    const int status = ksfpull_run(paths_);
    output_ = ::testing::internal::GetCapturedStdout();
    return status;
  }

  TempDir dir_;
  KsfPaths paths_{.control_dir = dir_.file("control")};
  std::string output_;
};

TEST_F(KsfRun, SingleMirrorIsUsedAndTableInstalled) {
  dir_.write("control/ksf.mirrors", "# forgery table mirrors\n  https://ksf.example  # main\n\n");
  dir_.write("control/valid_domain_ips", "old table\n");
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(output_, "");
  EXPECT_EQ(calls(), "https://ksf.example/ksf/valid_domain_ips\n");
  EXPECT_EQ(TempDir::read(paths_.table_file), kTable);
  EXPECT_FALSE(testing::exists(paths_.table_file + ".tmp"));
}

TEST_F(KsfRun, ErrorStatusesKeepTheTableAfterFourAttempts) {
  dir_.write("control/ksf.mirrors", "http://one.example\nhttp://two.example\n");
  dir_.write("control/valid_domain_ips", "old table\n");
  for (const int status : {404, 500}) {
    std::remove(dir_.file("calls").c_str());
    answer(status, "<html>error</html>");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(output_, "Failed to retrieve update");
    const std::string made = calls();
    EXPECT_EQ(std::count(made.begin(), made.end(), '\n'), 4) << made;
    EXPECT_EQ(TempDir::read(paths_.table_file), "old table\n");
  }
}

TEST_F(KsfRun, UnwritableTemporaryFileFailsTheAttemptAndKeepsTheTable) {
  dir_.write("control/ksf.mirrors", "http://one.example\n");
  dir_.write("control/valid_domain_ips", "old table\n");
  const std::string temporary = paths_.table_file + ".tmp";
  ASSERT_EQ(::mkdir(temporary.c_str(), 0755), 0);
  dir_.write("control/valid_domain_ips.tmp/keep", "");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(output_, "Failed to retrieve update");
  const std::string made = calls();
  EXPECT_EQ(std::count(made.begin(), made.end(), '\n'), 4) << made;
  EXPECT_EQ(TempDir::read(paths_.table_file), "old table\n");
}

TEST_F(KsfRun, PlantedLinkAtTemporaryNameIsNotWrittenThrough) {
  dir_.write("control/ksf.mirrors", "http://one.example\n");
  const std::string victim = dir_.write("victim", "untouched");
  ASSERT_EQ(::symlink(victim.c_str(), (paths_.table_file + ".tmp").c_str()), 0);
  // The first attempt refuses the link and clears it away; the next one installs.
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(calls(), "http://one.example/ksf/valid_domain_ips\n"
                     "http://one.example/ksf/valid_domain_ips\n");
  EXPECT_EQ(TempDir::read(victim), "untouched");
  EXPECT_EQ(TempDir::read(paths_.table_file), kTable);
  EXPECT_FALSE(testing::exists(paths_.table_file + ".tmp"));
}

TEST_F(KsfRun, EmptyAnswerIsNotInstalled) {
  dir_.write("control/ksf.mirrors", "http://one.example\n");
  dir_.write("control/valid_domain_ips", "old table\n");
  answer(200, "");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(TempDir::read(paths_.table_file), "old table\n");
  EXPECT_FALSE(testing::exists(paths_.table_file + ".tmp"));
}

TEST_F(KsfRun, BrokenInstallationsStopBeforeAnyTransfer) {
  dir_.write("control/ksf.mirrors", "# only a comment\n\n   \n");
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(output_, "");

  ASSERT_EQ(std::remove(paths_.mirror_file.c_str()), 0);
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(output_, "Required file " + paths_.mirror_file +
                         " not found. Your installation appears to be corrupt\n");

  KsfPaths no_control = paths_;
  no_control.control_dir = dir_.file("absent");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ksfpull_run(no_control), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Output directory " + no_control.control_dir +
                " not found. Your installation appears to be corrupt\n");

  KsfPaths no_curl = paths_;
  no_curl.curl = dir_.file("body");  // not executable
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ksfpull_run(no_curl), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Required utility " + no_curl.curl + " is not executable!\n");
  EXPECT_FALSE(testing::exists(dir_.file("calls")));
}

TEST(KsfMirrors, CommentsCutAndEntriesTrimmed) {
  TempDir dir;
  const std::string path =
      dir.write("m", "\thttp://a.example \t\n#all comment\nhttp://b.example/path#c\n\n  \nx");
  EXPECT_EQ(load_mirrors(path), (string_list{"http://a.example", "http://b.example/path", "x"}));
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(load_mirrors(dir.file("missing")).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error retrieving contents of " + dir.file("missing") + ". Please check permissions\n");
}

TEST(KsfMirrors, PickCoversEveryMirror) {
  const string_list mirrors = {"a", "b", "c"};
  std::set<std::string> picked;
  for (int i = 0; i < 200; ++i) picked.insert(pick_mirror(mirrors).value_or(""));
  EXPECT_EQ(picked, (std::set<std::string>{"a", "b", "c"}));
  EXPECT_EQ(pick_mirror({"only"}), "only");
  EXPECT_EQ(pick_mirror({}), std::nullopt);
}

}  // namespace
}  // namespace korvex
