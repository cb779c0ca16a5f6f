// Whole-program tests of the answers every installed program gives to --help and --version,
// and of korvex-update refusing the arguments it has no use for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kVersion = "1.0.5-4";

struct Program {
  std::string name;
  std::string build_path;
  // A command line that ends with the usage text, where it goes, what comes before it
  // there, and the status; for a program without one, expected_help holds the text.
  std::vector<std::string> usage_args;
  bool usage_on_stderr = false;
  std::string before_usage;
  std::string expected_help;
};

const std::vector<Program>& programs() {
  static const std::vector<Program> all = {
      {"korvex-plesk", KORVEX_PROGRAM_KORVEX_PLESK, {"-x"}, true, "Unrecognized option: -x\n", ""},
      {"korvex-listmgr", KORVEX_PROGRAM_KORVEX_LISTMGR, {"-z", "-f", "-l"}, true,
       "Unrecognized option: -z\n", ""},
      {"korvex-rejmsg", KORVEX_PROGRAM_KORVEX_REJMSG, {}, false, "", ""},
      {"tarn_update", KORVEX_PROGRAM_TARN_UPDATE, {}, false, "", ""},
      {"regexpull", KORVEX_PROGRAM_REGEXPULL, {"-h"}, false, "", ""},
      {"korvex-regex-index", KORVEX_PROGRAM_KORVEX_REGEX_INDEX, {}, true, "", ""},
      {"korvex-check", KORVEX_PROGRAM_KORVEX_CHECK, {}, false, "",
       "Usage: korvex-check [-q]\n"
       "Checks the Korvex installation and prints one line per problem found, with what to\n"
       "do about it.\n"
       "   -q          print nothing, only set the exit status (for monitoring)\n"
       "   -h, --help  print this text\n"
       "   --version   print the name and version\n"
       "Exit status: 0 no problem found, 1 problems found, 2 usage error.\n"},
      {"korvex-update", KORVEX_PROGRAM_KORVEX_UPDATE, {"-x"}, true, "",
       "Usage: /usr/share/korvex/bin/korvex-update\n\n"
       "Runs regexpull (twice), ksfpull and tarn_update one after the other in the\n"
       "background, one run at a time; cron starts it every four hours.\n"
       "It takes no arguments.\n"},
      {"ksfpull", KORVEX_PROGRAM_KSFPULL, {}, false, "",
       "Usage: /usr/share/korvex/bin/ksfpull\n\n"
       "Fetches the forgery table /etc/korvex/control/valid_domain_ips from a mirror\n"
       "named in /etc/korvex/control/ksf.mirrors. Other arguments are ignored.\n"},
      {"korvex-report", KORVEX_PROGRAM_KORVEX_REPORT, {}, false, "",
       "Usage: korvex-report [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--html FILE]\n"
       "Summarises the mail decisions of a period from /var/log/korvex: recipients per day,\n"
       "refusals per rule or list, report-only hits, deferrals, and the most refused peers\n"
       "and sender domains.\n"
       "   --since DATE  first day (default: the first of the month of the last day)\n"
       "   --until DATE  last day (default: today)\n"
       "   --html FILE   write the report to FILE as one HTML page instead of printing it\n"
       "   -h, --help    print this text\n"
       "   --version     print the name and version\n"
       "Exit status: 0 report made, 1 nothing could be read, 2 usage error or report not\n"
       "written.\n"},
  };
  return all;
}

class InfoRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    for (const Program& program : programs()) {
      ASSERT_TRUE(sandbox().install_program(program.build_path, program.name));
    }
  }

  RunResult run(const Program& program, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(kProgramDirectory) + "/" + program.name);
    return sandbox().run(args);
  }
};

TEST_F(InfoRun, EveryProgramAnswersHelpAndVersionOnStandardOutput) {
  if (!has_sandbox()) return;
  for (const Program& program : programs()) {
    SCOPED_TRACE(program.name);
    const RunResult version = run(program, {"--version"});
    EXPECT_TRUE(version.exited_with(0)) << version.describe();
    EXPECT_EQ(version.out, program.name + " (Korvex) " + kVersion + "\n");
    EXPECT_EQ(version.err, "");

    std::string usage = program.expected_help;
    if (program.expected_help.empty()) {
      // The same usage text the program gives after a command-line mistake.
      const RunResult mistake = run(program, program.usage_args);
      EXPECT_TRUE(mistake.exited_with(1)) << mistake.describe();
      const std::string& stream = program.usage_on_stderr ? mistake.err : mistake.out;
      ASSERT_EQ(stream.substr(0, program.before_usage.size()), program.before_usage);
      usage = stream.substr(program.before_usage.size());
      ASSERT_NE(usage, "");
    }
    const RunResult help = run(program, {"--help"});
    EXPECT_TRUE(help.exited_with(0)) << help.describe();
    EXPECT_EQ(help.out, usage);
    EXPECT_EQ(help.err, "");
    // Neither answer reads a file or logs: both work on a broken installation too.
    EXPECT_EQ(help.syslog.size() + version.syslog.size(), 0U);
  }
  // The reply banner announces the same version as the programs.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n"));
  const RunResult refused =
      sandbox().run({std::string(kProgramDirectory) + "/korvex-plesk"},
                    {.env = {"TCPREMOTEIP=192.0.2.9"}});
  EXPECT_NE(refused.out.find("P550-Protection provided by: Korvex " + kVersion + " ("),
            std::string::npos)
      << refused.describe();
}

TEST_F(InfoRun, AnAnswerStandardOutputCannotTakeIsAFailure) {
  if (!has_sandbox()) return;
  const RunResult full = sandbox().run(
      {"/bin/sh", "-c", std::string(kProgramDirectory) + "/korvex-listmgr --version >/dev/full"});
  EXPECT_TRUE(full.exited_with(1)) << full.describe();
  EXPECT_EQ(full.err, "korvex-listmgr: cannot write to standard output: No space left on device\n");
}

TEST_F(InfoRun, UpdateRefusesArgumentsWithoutRunningAnything) {
  if (!has_sandbox()) return;
  const Program& update = programs()[7];  // korvex-update
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-x"}, {"now"}, {"--help", "x"}, {"--verbose"}}) {
    SCOPED_TRACE(args[0]);
    const RunResult refused = run(update, args);
    EXPECT_TRUE(refused.exited_with(1)) << refused.describe();
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, update.expected_help);
    EXPECT_EQ(refused.syslog.size(), 0U);
    // No lock taken, no alert mail queued: the update job never started.
    EXPECT_FALSE(sandbox().read_file("/tmp/korvex_update.lock").has_value());
  }
}

}  // namespace
}  // namespace korvex::testing
