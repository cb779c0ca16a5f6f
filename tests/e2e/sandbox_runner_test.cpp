#include "tests/e2e/sandbox_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

std::string parse_error(const std::vector<std::string>& arguments) {
  std::string error;
  return parse_runner_arguments(arguments, &error) ? "(parsed)" : error;
}

TEST(RunnerArguments, ReadsOptionsUpToTheCommand) {
  std::string error;
  const auto options = parse_runner_arguments(
      {"-f", "tree", "-z", "zone.txt", "-e", "A=1", "-E", "-e", "B=", "-i", "-", "-t", "9", "--",
       "/bin/sh", "-c", "exit 0"},
      &error);
  ASSERT_TRUE(options.has_value()) << error;
  EXPECT_EQ(options->tree, "tree");
  EXPECT_EQ(options->zone, "zone.txt");
  EXPECT_EQ(options->env, (std::vector<std::string>{"A=1", "B="}));
  EXPECT_TRUE(options->inherit_environment);
  EXPECT_EQ(options->input, "-");
  EXPECT_EQ(options->timeout_seconds, 9);
  EXPECT_EQ(options->command, (std::vector<std::string>{"/bin/sh", "-c", "exit 0"}));

  const auto plain = parse_runner_arguments({"ls", "-l"}, &error);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->command, (std::vector<std::string>{"ls", "-l"}));
  EXPECT_EQ(plain->timeout_seconds, 300);
  EXPECT_FALSE(plain->inherit_environment);

  EXPECT_EQ(parse_error({"-x", "ls"}), "unknown option -x");
  EXPECT_EQ(parse_error({"ls", "-f"}), "(parsed)");
  EXPECT_EQ(parse_error({"-f"}), "option -f needs a value");
  EXPECT_EQ(parse_error({"-f", "dir"}), "no command given");
  EXPECT_EQ(parse_error({"--"}), "no command given");
  EXPECT_EQ(parse_error({"-t", "0", "ls"}), "-t needs a positive number of seconds, not 0");
  EXPECT_EQ(parse_error({"-t", "5s", "ls"}), "-t needs a positive number of seconds, not 5s");
  EXPECT_EQ(parse_error({"-e", "NOVALUE", "ls"}), "-e needs NAME=VALUE, not NOVALUE");
  EXPECT_EQ(parse_error({"-e", "=x", "ls"}), "-e needs NAME=VALUE, not =x");
}

class RunnerTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvex-tree-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf " + root_).c_str()), 0); }
  void put(const std::string& relative, const std::string& content, mode_t mode) {
    const std::string path = root_ + relative;
    ASSERT_EQ(std::system(("mkdir -p " + path.substr(0, path.rfind('/'))).c_str()), 0);
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }
  std::string root_;
};

TEST_F(RunnerTree, LoadsDirectoriesBeforeTheirFilesWithModes) {
  put("/etc/korvex/control/debug", "1\n", 0640);
  put("/etc/korvex/blocked_ips", "192.0.2.9\n", 0644);
  ASSERT_EQ(chmod((root_ + "/etc/korvex").c_str(), 0750), 0);
  std::string error;
  const auto files = load_tree(root_ + "/", &error);
  ASSERT_TRUE(files.has_value()) << error;
  EXPECT_EQ(*files, (std::vector<PlacedFile>{
                        {"/etc", "", 0755, true},
                        {"/etc/korvex", "", 0750, true},
                        {"/etc/korvex/blocked_ips", "192.0.2.9\n", 0644, false},
                        {"/etc/korvex/control", "", 0755, true},
                        {"/etc/korvex/control/debug", "1\n", 0640, false},
                    }));

  ASSERT_EQ(symlink("/etc/passwd", (root_ + "/etc/link").c_str()), 0);
  EXPECT_FALSE(load_tree(root_, &error).has_value());
  EXPECT_EQ(error, "neither a file nor a directory: " + root_ + "/etc/link");
  EXPECT_FALSE(load_tree(root_ + "/missing", &error).has_value());
  EXPECT_EQ(error, "cannot read directory " + root_ + "/missing");
}

using RunnerCommand = SandboxTest;

TEST_F(RunnerCommand, RunsACommandWithFilesZoneAndSyslog) {
  end_sandbox();  // the runner makes its own; the fixture only vouched it can
  char pattern[] = "/tmp/korvex-runner-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  ASSERT_EQ(std::system(("mkdir -p " + root + "/tree/etc/korvex/control").c_str()), 0);
  std::ofstream(root + "/tree/etc/korvex/control/debug") << "1\n";
  std::ofstream(root + "/zone") << "a mail.example.net 192.0.2.7\nservfail bad.example.net\n";

  const RunResult run = run_program(
      {KORVEX_PROGRAM_KORVEX_SANDBOX, "-f", root + "/tree", "-z", root + "/zone", "-e",
       "GREETING=hello", "--", "sh", "-c",
       "cat /etc/korvex/control/debug; echo $GREETING $PATH; getent hosts mail.example.net; "
       "getent hosts bad.example.net || echo lookup failed $?; "
       "logger -t korvex-test -p mail.err text; echo to stderr >&2; exit 3"});
  EXPECT_EQ(run.exit_status, 3) << run.describe();
  EXPECT_EQ(run.out,
            "1\nhello /usr/sbin:/usr/bin:/sbin:/bin\n192.0.2.7       mail.example.net\n"
            "lookup failed 2\nsyslog: mail.err korvex-test: text\n");
  EXPECT_EQ(run.err, "to stderr\n");
  EXPECT_NE(access("/etc/korvex", F_OK), 0);

  const RunResult usage = run_program({KORVEX_PROGRAM_KORVEX_SANDBOX, "-q"});
  EXPECT_EQ(usage.exit_status, 2);
  EXPECT_EQ(usage.err,
            "korvex-sandbox: unknown option -q\nusage: korvex-sandbox [-f DIR] [-z ZONE] "
            "[-e NAME=VALUE]... [-E] [-i FILE] [-t SECONDS] [--] PROGRAM [ARGUMENT]...\n");
  const RunResult bad_zone = run_program(
      {KORVEX_PROGRAM_KORVEX_SANDBOX, "-z", root + "/tree/etc/korvex/control/debug", "true"});
  EXPECT_EQ(bad_zone.exit_status, 125);
  EXPECT_EQ(bad_zone.err, "korvex-sandbox: zone line 1: unknown record\n");
  const RunResult killed = run_program({KORVEX_PROGRAM_KORVEX_SANDBOX, "sh", "-c", "kill -9 $$"});
  EXPECT_EQ(killed.exit_status, 137);
  ASSERT_EQ(std::system(("rm -rf " + root).c_str()), 0);
}

}  // namespace
}  // namespace korvex::testing
