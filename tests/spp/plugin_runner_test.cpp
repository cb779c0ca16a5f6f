#include "spp/plugin_runner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <string>
#include <vector>

#include "tests/spp/spp_test_files.h"

namespace korvex {
namespace {

using testing::ScratchDir;
using Lines = std::vector<std::string>;

TEST(PluginAnswer, PassesPLinesOnAndEndsAtTheFirstELine) {
  const plugin_answer refused = parse_plugin_answer(
      "P550-first line\nP550-second\r\n\nignored line\nE550 last line\nP250 after\nEnot read\n");
  EXPECT_TRUE(refused.refused);
  EXPECT_EQ(refused.reply, (Lines{"550-first line", "550-second", "550 last line"}));

  const plugin_answer printed = parse_plugin_answer("P250-note\nPno line end");
  EXPECT_FALSE(printed.refused);
  EXPECT_EQ(printed.reply, (Lines{"250-note", "no line end"}));

  EXPECT_EQ(parse_plugin_answer("").reply, Lines{});
  EXPECT_FALSE(parse_plugin_answer("").refused);
  EXPECT_FALSE(parse_plugin_answer("X550 unknown command\n\n").refused);

  // A refusal without text still ends the reply with a complete line.
  const plugin_answer bare = parse_plugin_answer("P550-why\nE\n");
  EXPECT_TRUE(bare.refused);
  EXPECT_EQ(bare.reply, (Lines{"550-why", "550 5.7.1 recipient refused"}));
}

TEST(RunPlugin, ReadsTheAnswerOfAPluginThatExitsNormally) {
  const ScratchDir dir;
  const plugin_result refused = run_plugin(
      dir.script("refuse", "echo 'P550-one'\necho 'P550-two'\necho 'E550 three'\n"), {}, 10);
  EXPECT_EQ(refused.outcome, plugin_outcome::refused);
  EXPECT_EQ(refused.reply, (Lines{"550-one", "550-two", "550 three"}));

  const plugin_result silent = run_plugin(dir.script("silent", "exit 0\n"), {}, 10);
  EXPECT_EQ(silent.outcome, plugin_outcome::accepted);
  EXPECT_EQ(silent.reply, Lines{});

  const plugin_result noted = run_plugin(dir.script("noted", "echo P250-noted\n"), {}, 10);
  EXPECT_EQ(noted.outcome, plugin_outcome::accepted);
  EXPECT_EQ(noted.reply, Lines{"250-noted"});
}

TEST(RunPlugin, GivesExactlyTheEnvironmentNullInputAndNoExtraDescriptors) {
  const ScratchDir dir;
  const std::string plugin = dir.script(
      "probe",
      "echo \"P$(env | LC_ALL=C sort | tr '\\n' ' ')\"\n"
      "echo \"Pfds $(ls /proc/self/fd | tr '\\n' ' ')\"\n"
      "echo \"Pstdin $(readlink /proc/$$/fd/0) $(cat | wc -c)\"\n");
  const std::size_t open_before = testing::descriptor_count();
  const plugin_result result =
      run_plugin(plugin, {"SMTPRCPTTO=a@example.org", "RELAYCLIENT=", "TCPREMOTEIP=192.0.2.1"}, 10);
  EXPECT_EQ(result.outcome, plugin_outcome::accepted) << result.failure;
  // env adds PWD (the shell sets it); ls sees its own directory descriptor as 3.
  EXPECT_EQ(result.reply, (Lines{"PWD=" + std::filesystem::current_path().string() +
                                     " RELAYCLIENT= SMTPRCPTTO=a@example.org "
                                     "TCPREMOTEIP=192.0.2.1 ",
                                 "fds 0 1 2 3 ", "stdin /dev/null 0"}));
  EXPECT_EQ(testing::descriptor_count(), open_before);
}

TEST(RunPlugin, FailsWithoutRefusingWhenThePluginCannotRunOrMisbehaves) {
  const ScratchDir dir;
  const std::size_t open_before = testing::descriptor_count();
  const auto failure = [](const plugin_result& result) {
    EXPECT_EQ(result.outcome, plugin_outcome::failed);
    EXPECT_EQ(result.reply, Lines{});
    return result.failure;
  };
  EXPECT_EQ(failure(run_plugin(dir.file("missing"), {}, 10)),
            "cannot run: No such file or directory");
  EXPECT_EQ(failure(run_plugin(dir.write("not-executable", "#!/bin/sh\n", 0644), {}, 10)),
            "cannot run: Permission denied");
  EXPECT_EQ(failure(run_plugin(dir.script("crash", "echo E550 no\nkill -SEGV $$\n"), {}, 10)),
            "killed by signal 11");
  EXPECT_EQ(failure(run_plugin(dir.script("status", "echo E550 no\nexit 3\n"), {}, 10)),
            "exit status 3");
  EXPECT_EQ(failure(run_plugin(dir.script("hang", "echo P250-x\nexec sleep 30\n"), {}, 1)),
            "no answer within 1 seconds");
  EXPECT_EQ(failure(run_plugin(dir.script("linger", "exec >&-\nexec sleep 30\n"), {}, 1)),
            "still running 1 seconds on");
  EXPECT_EQ(failure(run_plugin(dir.script("flood", "yes P250-flood\n"), {}, 10)),
            "more than 65536 bytes of output");
  EXPECT_EQ(testing::descriptor_count(), open_before);
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// process_alive - the process exists and is not a zombie.
bool process_alive(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  return close != std::string::npos && text.substr(close + 2, 1) != "Z";
}

TEST(RunPlugin, KillsTheHelpersOfAPluginThatRunsTooLong) {
  const ScratchDir dir;
  const plugin_result result = run_plugin(
      dir.script("spawner", "sh -c 'echo $$ > " + dir.file("helper") +
                                "; exec sleep 30' &\nexec sleep 30\n"),
      {}, 1);
  EXPECT_EQ(result.failure, "no answer within 1 seconds");
  // A helper killed before it could say who it was is just as gone.
  const std::string helper = dir.read("helper");
  if (!helper.empty()) {
    // SIGKILL takes effect when the killed process is next scheduled; on a loaded machine
    // that can be a moment after the kill call returned.
    const std::string pid = helper.substr(0, helper.size() - 1);
    for (int tries = 0; tries < 500 && process_alive(pid); ++tries) usleep(10000);
    EXPECT_FALSE(process_alive(pid));
  }
  // The plugin itself was reaped: this process has no child left.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace korvex
