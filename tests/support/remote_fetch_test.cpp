#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/common_utils.h"
#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;
using Lines = std::vector<std::string>;

// A stand-in for the transfer tool: it records its arguments one per line and what it
// found at the -o and -D paths, writes the prepared body and header there the way curl's
// -o and -D do, and exits with the prepared status.
class FakeTransferTool {
 public:
  FakeTransferTool() {
    write_file(tool(),
               "#!/bin/sh\n"
               "dir=" +
                   dir_.path() +
                   "\n"
                   "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$dir/args\"\n"
                   "while [ $# -gt 0 ]; do\n"
                   "  case \"$1\" in -o) body=$2; shift;; -D) header=$2; shift;; esac\n"
                   "  shift\n"
                   "done\n"
                   "stat -c '%a %U %F' \"$body\" \"$header\" > \"$dir/found\"\n"
                   "cat \"$dir/body\" > \"$body\"\n"
                   "cat \"$dir/header\" > \"$header\"\n"
                   "eval \"$(cat \"$dir/ending\")\"\n");
    EXPECT_EQ(chmod(tool().c_str(), 0755), 0);
    answer("", "", "exit 0");
  }

  std::string tool() const { return dir_ / "fetch"; }
  void answer(const std::string& body, const std::string& header, const std::string& ending) {
    write_file(dir_ / "body", body);
    write_file(dir_ / "header", header);
    write_file(dir_ / "ending", ending);
  }
  Lines arguments() const { return lines(read_file(dir_ / "args")); }
  Lines found() const { return lines(read_file(dir_ / "found")); }
  const ScratchDir& dir() const { return dir_; }

 private:
  static Lines lines(const std::string& text) {
    Lines result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  ScratchDir dir_;
};

const std::string kUrl = "http://mirror.example/ksf/valid_domain_ips";

std::string body_file() { return temp_file_name("kxd"); }
std::string header_file() { return temp_file_name("kxh"); }

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

TEST(RemoteFetch, CommandLineQuotesTheDataAndTheFiles) {
  EXPECT_EQ(
      remote_fetch_command_line("/usr/bin/curl", "", "-s -k", kUrl, "/tmp/kxd.321", "/tmp/kxh.321"),
      "/usr/bin/curl -s -k -d '' -o '/tmp/kxd.321' -D '/tmp/kxh.321' " + kUrl);
  EXPECT_EQ(remote_fetch_command_line("/usr/bin/curl", "a=1&b='2'", "-f", "http://h/x", "/b", "/h"),
            "/usr/bin/curl -f -d 'a=1&b='\\''2'\\''' -o '/b' -D '/h' http://h/x");
}

TEST(RemoteFetch, SuccessGivesTheBodyAndTheStatusAndCleansUp) {
  FakeTransferTool fake;
  fake.answer("192.0.2.0/24\nexample.com:198.51.100.7\n",
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", "exit 0");
  std::string output = "previous";
  int status = -1;
  ASSERT_TRUE(remote_fetch(fake.tool(), "", "-s -k", kUrl, &output, &status));
  EXPECT_EQ(output, "192.0.2.0/24\nexample.com:198.51.100.7\n");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(fake.arguments(),
            (Lines{"-s", "-k", "-d", "", "-o", body_file(), "-D", header_file(), kUrl}));
  // Both files were made beforehand, empty and private to the user running the transfer.
  const std::string owner = getpwuid(geteuid()) != nullptr ? getpwuid(geteuid())->pw_name : "";
  EXPECT_EQ(fake.found(), (Lines{"600 " + owner + " regular empty file",
                                 "600 " + owner + " regular empty file"}));
  EXPECT_FALSE(exists(body_file()));
  EXPECT_FALSE(exists(header_file()));
}

TEST(RemoteFetch, StatusComesFromTheFirstSpaceOfTheHeader) {
  FakeTransferTool fake;
  const std::vector<std::pair<std::string, int>> cases{
      {"HTTP/1.1 404 Not Found\r\n\r\n", 404},
      {"HTTP/1.0 302 Found\r\nLocation: x\r\n\r\nHTTP/1.1 200 OK\r\n", 302},
      {"NOSPACE", 0},
      {"HTTP/1.1 OK", 0},
      {"", 0},
  };
  for (const auto& [header, expected] : cases) {
    fake.answer("body", header, "exit 0");
    std::string output;
    int status = -1;
    EXPECT_TRUE(remote_fetch(fake.tool(), "", "-s", kUrl, &output, &status)) << header;
    EXPECT_EQ(status, expected) << header;
    EXPECT_EQ(output, "body");
  }
}

TEST(RemoteFetch, FailingOrKilledToolGivesTheErrorTextAndCleansUp) {
  FakeTransferTool fake;
  const std::vector<std::pair<std::string, int>> cases{{"exit 22", 22}, {"kill -KILL $$", 137}};
  for (const auto& [ending, code] : cases) {
    fake.answer("partial body", "HTTP/1.1 500 Oops\r\n", ending);
    std::string output = "previous";
    int status = 200;
    EXPECT_FALSE(remote_fetch(fake.tool(), "", "-s -k", kUrl, &output, &status));
    EXPECT_EQ(output,
              "Fatal error executing remote url fetch. Exit code: [" + std::to_string(code) + "]");
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(body_file()));
    EXPECT_FALSE(exists(header_file()));
  }
  std::string output;
  int status = 0;
  EXPECT_FALSE(remote_fetch(fake.dir() / "missing-tool", "", "", kUrl, &output, &status));
  EXPECT_EQ(output, "Fatal error executing remote url fetch. Exit code: [127]");
  EXPECT_FALSE(remote_fetch(fake.tool(), "", "", kUrl, nullptr, &status));
  EXPECT_FALSE(remote_fetch(fake.tool(), "", "", kUrl, &output, nullptr));
}

TEST(RemoteFetch, PlantedLinksAreRemovedNotFollowed) {
  FakeTransferTool fake;
  fake.answer("fresh body", "HTTP/1.1 200 OK\r\n", "exit 0");
  ScratchDir victims;
  write_file(victims / "passwd", "root:x:0:0\n");
  write_file(victims / "shadow", "secret\n");
  ASSERT_EQ(symlink((victims / "passwd").c_str(), body_file().c_str()), 0);
  ASSERT_EQ(symlink((victims / "shadow").c_str(), header_file().c_str()), 0);
  std::string output;
  int status = 0;
  ASSERT_TRUE(remote_fetch(fake.tool(), "", "-s", kUrl, &output, &status));
  EXPECT_EQ(output, "fresh body");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(read_file(victims / "passwd"), "root:x:0:0\n");
  EXPECT_EQ(read_file(victims / "shadow"), "secret\n");
  EXPECT_FALSE(exists(body_file()));
  EXPECT_FALSE(exists(header_file()));
}

TEST(RemoteFetch, AnUnremovableTemporaryPathFailsBeforeTheTransfer) {
  FakeTransferTool fake;
  ASSERT_EQ(mkdir(body_file().c_str(), 0700), 0);
  std::string output;
  int status = 200;
  EXPECT_FALSE(remote_fetch(fake.tool(), "", "-s", kUrl, &output, &status));
  ASSERT_EQ(rmdir(body_file().c_str()), 0);
  EXPECT_EQ(output, "Fatal error preparing remote url fetch: cannot remove [" + body_file() +
                        "]: Is a directory");
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(exists(fake.dir() / "args"));
}

TEST(RemoteFetch, PostDataIsPassedVerbatimWithoutShellInterpretation) {
  FakeTransferTool fake;
  const std::string data = "a=it's; touch " + fake.dir().path() + "/pwned; $(id) `id` \"q\" \\ &";
  std::string output;
  int status = 0;
  ASSERT_TRUE(remote_fetch(fake.tool(), data, "-s", kUrl, &output, &status));
  EXPECT_EQ(fake.arguments(),
            (Lines{"-s", "-d", data, "-o", body_file(), "-D", header_file(), kUrl}));
  EXPECT_FALSE(exists(fake.dir() / "pwned"));
}

}  // namespace
}  // namespace korvex
