#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

TEST(ProgramRunner, GivesExactlyTheEnvironmentInputAndDirectory) {
  const RunResult bare = run_program({"/usr/bin/env"}, {.env = {"B=two", "A=1"}});
  ASSERT_TRUE(bare.exited_with(0)) << bare.describe();
  EXPECT_EQ(bare.out, "B=two\nA=1\n");

  ASSERT_EQ(setenv("KORVEX_RUNNER_PROBE", "inherited", 1), 0);
  ASSERT_EQ(setenv("KORVEX_RUNNER_OTHER", "kept", 1), 0);
  const RunResult inherited =
      run_program({"/bin/sh", "-c", "echo $KORVEX_RUNNER_PROBE $KORVEX_RUNNER_OTHER"},
                  {.env = {"KORVEX_RUNNER_PROBE=replaced"}, .inherit_environment = true});
  EXPECT_EQ(inherited.out, "replaced kept\n");
  ASSERT_EQ(unsetenv("KORVEX_RUNNER_PROBE"), 0);
  ASSERT_EQ(unsetenv("KORVEX_RUNNER_OTHER"), 0);

  const std::string binary("one\0two\xff\n", 9);
  const RunResult echoed = run_program({"/bin/cat"}, {.input = binary});
  EXPECT_EQ(echoed.out, binary);
  const std::string large(1 << 20, 'k');
  EXPECT_EQ(run_program({"/bin/cat"}, {.input = large}).out, large);
  EXPECT_EQ(run_program({"/bin/cat"}).out, "");
  // A program that ignores its input must not upset the runner.
  EXPECT_TRUE(run_program({"/bin/true"}, {.input = large}).exited_with(0));

  EXPECT_EQ(run_program({"/bin/pwd"}, {.directory = "/usr/bin"}).out, "/usr/bin\n");
  EXPECT_EQ(run_program({"/bin/sh", "-c", "ls /proc/self/fd"}).out, "0\n1\n2\n3\n");
}

TEST(ProgramRunner, ReportsStatusSignalTimeoutAndStartFailures) {
  const RunResult split = run_program({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(split.exit_status, 3);
  EXPECT_EQ(split.signal, 0);
  EXPECT_EQ(split.out, "out\n");
  EXPECT_EQ(split.err, "err\n");
  EXPECT_FALSE(split.exited_with(0));
  EXPECT_TRUE(split.exited_with(3));

  const RunResult killed = run_program({"/bin/sh", "-c", "kill -TERM $$"});
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(killed.exit_status, -1);
  EXPECT_FALSE(killed.timed_out);

  const RunResult slow = run_program({"/bin/sleep", "30"}, {.timeout_seconds = 1});
  EXPECT_TRUE(slow.timed_out);
  EXPECT_EQ(slow.signal, SIGKILL);

  EXPECT_EQ(run_program({"/nonexistent/program"}).error,
            "execve /nonexistent/program: No such file or directory");
  EXPECT_EQ(run_program({"/bin/true"}, {.directory = "/nonexistent"}).error,
            "chdir: No such file or directory");
  EXPECT_EQ(run_program({"true"}).error, "the program must be named by a path");
  EXPECT_EQ(run_program({}).error, "the program must be named by a path");
}

TEST(ProgramRunner, RunsABatchSideBySideWithResultsInJobOrder) {
  char directory[] = "/tmp/korvex-batch-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  // Each job waits (a few seconds at most) until four jobs have started: the batch only
  // succeeds when four really run at the same time.
  const std::string barrier = std::string("touch ") + directory +
                              "/$N; i=0; while [ $(ls " + directory +
                              " | wc -l) -lt 4 ]; do i=$((i+1)); [ $i -gt 500 ] && exit 99; "
                              "sleep 0.01; done; echo $N; exit $N";
  std::vector<ProgramJob> jobs;
  for (int index = 0; index < 8; ++index) {
    jobs.push_back({{"/bin/sh", "-c", barrier}, {.env = {"N=" + std::to_string(index)}}});
  }
  const std::vector<RunResult> runs = run_programs(jobs, 4);
  ASSERT_EQ(runs.size(), jobs.size());
  std::set<pid_t> pids;
  for (int index = 0; index < 8; ++index) {
    const RunResult& run = runs[static_cast<std::size_t>(index)];
    EXPECT_TRUE(run.exited_with(index)) << run.describe();
    EXPECT_EQ(run.out, std::to_string(index) + "\n");
    EXPECT_LT(run.started, run.ended);
    pids.insert(run.pid);
  }
  EXPECT_EQ(pids.size(), jobs.size());
  EXPECT_EQ(run_program({"/bin/rm", "-r", directory}).exit_status, 0);

  // No job, no run; a parallelism of zero still runs one at a time.
  EXPECT_TRUE(run_programs({}, 4).empty());
  const std::vector<RunResult> one = run_programs({{{"/bin/echo", "alone"}, {}}}, 0);
  ASSERT_EQ(one.size(), 1U);
  EXPECT_EQ(one[0].out, "alone\n");
}

using SandboxPrograms = SandboxTest;

TEST_F(SandboxPrograms, InstalledProgramsRunAtTheirFixedPath) {
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_SYSLOG_PROBE, "probe"));
  const RunResult listing =
      sandbox().run({"/usr/bin/stat", "-c", "%a %n", "/usr/share/korvex/bin/probe"});
  EXPECT_EQ(listing.out, "755 /usr/share/korvex/bin/probe\n");
  EXPECT_EQ(sandbox().read_file("/usr/share/korvex/bin/probe"),
            sandbox().read_file(KORVEX_PROGRAM_SYSLOG_PROBE));
  EXPECT_TRUE(sandbox().run({"/usr/share/korvex/bin/probe", "-", "nopid", "2"}).exited_with(0));
}

TEST_F(SandboxPrograms, SyslogLinesAreCapturedPerRun) {
  const RunResult logger = sandbox().run(
      {"/usr/bin/logger", "-t", "korvex-test", "-p", "mail.err", "text of the line"});
  ASSERT_TRUE(logger.exited_with(0)) << logger.describe();
  EXPECT_EQ(described(logger.syslog), std::vector<std::string>{"mail.err korvex-test: text of the line"});

  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_SYSLOG_PROBE, "korvex-probe"));
  const RunResult with_pid = sandbox().run({"/usr/share/korvex/bin/korvex-probe", "korvex-plesk",
                                            "pid", "2", "6", "first: line", "7", "debug line"});
  ASSERT_TRUE(with_pid.exited_with(0)) << with_pid.describe();
  EXPECT_EQ(described(with_pid.syslog),
            (std::vector<std::string>{"mail.info korvex-plesk: first: line",
                                      "mail.debug korvex-plesk: debug line"}));
  ASSERT_EQ(with_pid.syslog.size(), 2U);
  EXPECT_TRUE(with_pid.syslog[0].pid.has_value());
  EXPECT_EQ(with_pid.syslog[0].priority(), LOG_MAIL | LOG_INFO);

  const RunResult default_identity =
      sandbox().run({"/usr/share/korvex/bin/korvex-probe", "-", "nopid", "3", "4", "warned"});
  ASSERT_EQ(default_identity.syslog.size(), 1U);
  EXPECT_EQ(default_identity.syslog[0],
            (SyslogLine{LOG_DAEMON, LOG_WARNING, "korvex-probe", std::nullopt, "warned"}));

  EXPECT_EQ(described(sandbox().syslog()),
            (std::vector<std::string>{"mail.err korvex-test: text of the line",
                                      "mail.info korvex-plesk: first: line",
                                      "mail.debug korvex-plesk: debug line",
                                      "daemon.warning korvex-probe: warned"}));
  sandbox().clear_syslog();
  EXPECT_TRUE(sandbox().syslog().empty());
  EXPECT_TRUE(sandbox().run({"/bin/true"}).syslog.empty());
}

}  // namespace
}  // namespace korvex::testing
