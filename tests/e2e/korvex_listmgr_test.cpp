// Whole-program tests of korvex-listmgr: the real binary at its fixed path, editing the
// lists under /etc/korvex of a sandbox, with its syslog lines captured.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kListmgr = std::string(kProgramDirectory) + "/korvex-listmgr";

class ListmgrRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_LISTMGR, "korvex-listmgr"));
  }

  RunResult listmgr(std::vector<std::string> args) {
    args.insert(args.begin(), kListmgr);
    return sandbox().run(args);
  }

  // The captured lines as "facility.severity identity: text"; every one must carry the
  // process id.
  static std::vector<std::string> described(const RunResult& run) {
    std::vector<std::string> lines;
    for (const SyslogLine& line : run.syslog) {
      EXPECT_TRUE(line.pid.has_value()) << line.describe();
      lines.push_back(line.describe());
    }
    return lines;
  }
};

TEST_F(ListmgrRun, AddsListsAndDeletesUnderEtcKorvex) {
  if (!has_sandbox()) return;
  // The caller's creation mask does not decide who may read the list.
  const RunResult added =
      sandbox().run({"/bin/sh", "-c", "umask 077; exec " + kListmgr + " -a 192.0.2.7 -i"});
  ASSERT_TRUE(added.exited_with(0)) << added.describe();
  EXPECT_EQ(added.out + added.err, "");
  EXPECT_EQ(described(added), std::vector<std::string>{});
  ASSERT_TRUE(listmgr({"-i", "-a", "192.0.2.8"}).exited_with(0));
  EXPECT_EQ(sandbox().read_file("/etc/korvex/exempt_ips"), "192.0.2.7\n192.0.2.8\n");
  EXPECT_EQ(sandbox().run({"/usr/bin/stat", "-c", "%a", "/etc/korvex/exempt_ips"}).out, "644\n");

  const RunResult listed = listmgr({"-i", "-l"});
  ASSERT_TRUE(listed.exited_with(0)) << listed.describe();
  EXPECT_EQ(listed.out + listed.err, "192.0.2.7\n192.0.2.8\n");

  ASSERT_TRUE(listmgr({"-i", "-d", "192.0.2.7"}).exited_with(0));
  EXPECT_EQ(sandbox().read_file("/etc/korvex/exempt_ips"), "192.0.2.8\n");
  EXPECT_EQ(sandbox().list_directory("/etc/korvex"), (std::vector<std::string>{"exempt_ips"}));

  const RunResult empty = listmgr({"-k", "-l"});
  ASSERT_TRUE(empty.exited_with(0)) << empty.describe();
  EXPECT_EQ(empty.out + empty.err, "");
}

TEST_F(ListmgrRun, FailuresReachStandardOutputAndSyslog) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/from_whitelist", "joe@x.example\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "known_sender_forgery\n"));
  const std::string enabling = "mail.debug korvex-listmgr: ENABLING [known_sender_forgery]";

  const RunResult duplicate = listmgr({"-f", "-a", "JOE@x.example"});
  EXPECT_TRUE(duplicate.exited_with(1)) << duplicate.describe();
  EXPECT_EQ(duplicate.out, "add_entry() ERROR: Entry already exists.\n");
  EXPECT_EQ(duplicate.err, "");
  EXPECT_EQ(described(duplicate),
            (std::vector<std::string>{
                enabling, "mail.err korvex-listmgr: add_entry() ERROR: Entry already exists.\n",
                "mail.err korvex-listmgr: Error: operation 2 returned 1"}));

  // A second line "*" would whitelist every sender.
  const RunResult spanning = listmgr({"-f", "-a", "ann@x.example\n*"});
  EXPECT_TRUE(spanning.exited_with(1)) << spanning.describe();
  EXPECT_EQ(spanning.out, "add_entry() ERROR: Entry must be a single line.\n");
  EXPECT_EQ(
      described(spanning),
      (std::vector<std::string>{
          enabling, "mail.err korvex-listmgr: add_entry() ERROR: Entry must be a single line.\n",
          "mail.err korvex-listmgr: Error: operation 2 returned 1"}));
  EXPECT_EQ(sandbox().read_file("/etc/korvex/from_whitelist"), "joe@x.example\n");
}

TEST_F(ListmgrRun, CommandLineErrorsLogNothingAndTouchNoFile) {
  if (!has_sandbox()) return;
  const RunResult both = listmgr({"-f", "-i", "-a", "x"});
  EXPECT_TRUE(both.exited_with(1)) << both.describe();
  EXPECT_EQ(both.out, "");
  EXPECT_EQ(both.err.substr(0, both.err.find('\n') + 1),
            "FATAL: You must specify one and only one list.\n");
  EXPECT_EQ(described(both), std::vector<std::string>{});
  EXPECT_EQ(sandbox().list_directory("/etc/korvex"), std::vector<std::string>{});
}

}  // namespace
}  // namespace korvex::testing
