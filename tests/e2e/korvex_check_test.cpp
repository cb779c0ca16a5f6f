// Whole-program tests of korvex-check: a sound installation passes without a word, and a
// broken one gets one line per problem, with the status telling monitoring about it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tarn/tarn_map_writer.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kCheck = std::string(kProgramDirectory) + "/korvex-check";
const std::string kRegexIndex = std::string(kProgramDirectory) + "/korvex-regex-index";
const std::string kRejmsg = std::string(kProgramDirectory) + "/korvex-rejmsg";
const std::string kSmtpd = KORVEX_SMTPD_USER;
// A user id the host is unlikely to have; only the sandbox's /etc/passwd names it.
constexpr uid_t kSmtpdUid = 64012;
constexpr gid_t kSmtpdGid = 65534;
const std::string kDyna = "/etc/korvex/dynaregex/dyna.regexes";
const std::string kSpam = "/etc/korvex/dynaregex/spam.regexes";

std::string counter_file() {
  const std::time_t now = std::time(nullptr);
  struct tm local = {};
  (void)localtime_r(&now, &local);
  char name[64] = {};
  (void)std::snprintf(name, sizeof name, "/var/log/korvex/.counter.dat.%02d", local.tm_mon + 1);
  return name;
}

std::string tarn_map(const char* block_text) {
  tarn_map_builder builder;
  tarn_block block{};
  if (tarn_parse_block(block_text, &block)) builder.add(block);
  const std::vector<unsigned char> bytes = builder.serialize();
  return {bytes.begin(), bytes.end()};
}

class CheckRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_CHECK, "korvex-check"));
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_REGEX_INDEX, "korvex-regex-index"));
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_REJMSG, "korvex-rejmsg"));
    passwd_ = sandbox().read_file("/etc/passwd");
    ASSERT_TRUE(passwd_);
    ASSERT_TRUE(sandbox().place_file(
        "/etc/passwd", *passwd_ + kSmtpd + ":x:" + std::to_string(kSmtpdUid) + ":" +
                           std::to_string(kSmtpdGid) + "::/var/qmail:/usr/sbin/nologin\n"));
  }

  // Everything in place as an install and a first update leave it.
  void lay_out_sound_installation() {
    place("/etc/korvex/control/debug", "TRUE\n");
    place("/etc/korvex/control/dump_core", "false\n");
    place("/etc/korvex/control/rules.enabled", "known_sender_forgery\n");
    place("/etc/korvex/control/rules.disabled", "resolve_helo_domain\n");
    place("/etc/korvex/control/tarn.enabled", "bl.example\n");
    place("/var/cache/tarn/bl.example", tarn_map("192.0.2.0/24"));
    place(kDyna, "# Dynamic Style Regular Expression Listing\n^dialup-\n");
    place(kSpam, "# Dynamic Style Regular Expression Listing\n^spam-\n");
    const RunResult indexed = sandbox().run({kRegexIndex, kDyna, kSpam});
    ASSERT_TRUE(indexed.exited_with(0)) << indexed.describe();
    place("/etc/korvex/exempt_ips", "192.0.2.1\n\n");
    place("/etc/korvex/blocked_ips", "198.51.100.7\n");
    place("/etc/korvex/rejections/require_helo", "Say HELO first.");
    const RunResult cached = sandbox().run({kRejmsg, "-i"});
    ASSERT_TRUE(cached.exited_with(0)) << cached.describe();
    owned_by_smtpd("/var/log/korvex", 0755);
    place("/var/log/korvex/kxlog", "");
    owned_by_smtpd("/var/log/korvex/kxlog", 0640);
    ASSERT_TRUE(sandbox().make_directory("/var/cores/korvex", 0700));
    owned_by_smtpd("/var/cores/korvex", 0700);
    ASSERT_TRUE(sandbox().make_directory("/var/cache/korvex", 0755));
    owned_by_smtpd("/var/cache/korvex", 0755);
    place("/etc/korvex/tarn/mirror_info", "http://127.0.0.1/tarn/\n");
    place("/etc/korvex/tarn/lists_to_update", "bl.example\n");
    place("/etc/korvex/control/ksf.mirrors", "http://127.0.0.1 # the only one\n");
    place("/etc/korvex/control/admin_email", "postmaster@example.org\n");
  }

  void place(const std::string& path, const std::string& content) {
    ASSERT_TRUE(sandbox().place_file(path, content, 0644));
  }

  void owned_by_smtpd(const std::string& path, mode_t mode) {
    ASSERT_EQ(::chown(path.c_str(), kSmtpdUid, kSmtpdGid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }

  std::optional<std::string> passwd_;
};

TEST_F(CheckRun, SoundInstallationPassesSilently) {
  if (!has_sandbox()) return;
  lay_out_sound_installation();
  for (const char* quiet : {"", "-q"}) {
    std::vector<std::string> argv = {kCheck};
    if (*quiet != '\0') argv.emplace_back(quiet);
    const RunResult run = sandbox().run(argv);
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(CheckRun, ReportModeAndDeferralFilesAreJudgedLikeTheOthers) {
  if (!has_sandbox()) return;
  lay_out_sound_installation();
  place("/etc/korvex/control/defer_on_tempfail", "on\n");
  place("/etc/korvex/control/rules.report", "valid_helo_domain\nvalid_helo_domian\n");
  const RunResult run = sandbox().run({kCheck});
  EXPECT_TRUE(run.exited_with(1)) << run.describe();
  EXPECT_EQ(run.out,
            "korvex-check: /etc/korvex/control/defer_on_tempfail: [on] is not understood and "
            "reads as off; write true or false\n"
            "korvex-check: /etc/korvex/control/rules.report:2: unknown rule "
            "[valid_helo_domian] is ignored; did you mean valid_helo_domain?\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(CheckRun, BrokenInstallationGetsOneLinePerProblem) {
  if (!has_sandbox()) return;
  lay_out_sound_installation();
  place("/etc/korvex/control/debug", "yes\n");
  place("/etc/korvex/control/rules.enabled", "known_sender_forgery\nfrob\tnicate\n");
  place("/etc/korvex/control/rules.disabled", "check_ip_revrese_dns\nresolve_helo_domain\n");
  place("/etc/korvex/control/tarn.enabled", "missing.example\nbl.example\ncorrupt.example\n");
  // The root word of 10/8 points past the end of the file.
  std::string corrupt(1024, '\0');
  corrupt[41] = '\x20';
  place("/var/cache/tarn/corrupt.example", corrupt);
  // Edited after indexing, and never looked at by the plugin since.
  place(kDyna, "# Dynamic Style Regular Expression Listing\n^cable-\n^dialup-\n");
  ASSERT_EQ(::unlink(kSpam.c_str()), 0);
  place("/etc/korvex/exempt_ips", "192.0.2.1\n010.0.0.1\n");
  place("/etc/korvex/blocked_ips", "198.51.100.7\n\n203.0.113.*\nnot-an-ip\n");
  place("/etc/korvex/rejections/valid_helo_domain", "Your HELO is wrong.");
  ASSERT_EQ(::chown("/var/log/korvex/kxlog", 0, 0), 0);
  place(counter_file(), std::string(500, '\0'));
  ASSERT_EQ(::rmdir("/var/cores/korvex"), 0);
  ASSERT_EQ(::chown("/var/cache/korvex", 0, 0), 0);
  ASSERT_EQ(::unlink("/etc/korvex/tarn/mirror_info"), 0);
  place("/etc/korvex/tarn/lists_to_update", "# nothing yet\n");
  place("/etc/korvex/control/ksf.mirrors", "");
  ASSERT_EQ(::unlink("/etc/korvex/control/admin_email"), 0);

  const std::string head =
      "korvex-check: /etc/korvex/control/debug: [yes] is not understood and reads as off; "
      "write true or false\n"
      "korvex-check: /etc/korvex/control/rules.enabled:2: unknown rule [frob nicate] is "
      "ignored; korvex-plesk -s lists the rules\n"
      "korvex-check: /etc/korvex/control/rules.disabled:1: unknown rule "
      "[check_ip_revrese_dns] is ignored; did you mean check_ip_reverse_dns?\n"
      "korvex-check: /var/cache/tarn/corrupt.example: not a well-formed TARN map, so the "
      "enabled TARN list [corrupt.example] lists nobody; fetch it with tarn_update or take it "
      "out of /etc/korvex/control/tarn.enabled\n"
      "korvex-check: /var/cache/tarn/missing.example: missing, so the enabled TARN list "
      "[missing.example] lists nobody; fetch it with tarn_update or take it out of "
      "/etc/korvex/control/tarn.enabled\n"
      "korvex-check: /etc/korvex/dynaregex/dyna.regexes: no index fits it, neither "
      "/etc/korvex/dynaregex/dyna.regexes.index nor /var/cache/korvex/dyna.regexes.index; "
      "run korvex-regex-index /etc/korvex/dynaregex/dyna.regexes\n"
      "korvex-check: /etc/korvex/dynaregex/spam.regexes: missing, so the rule "
      "check_reverse_dns_list passes every host; run korvex-update, which fetches it with "
      "regexpull\n"
      "korvex-check: /etc/korvex/exempt_ips:2: [010.0.0.1] can never match a peer's address; "
      "replace it by the addresses it is meant for (korvex-listmgr -i -d, then -i -a)\n"
      "korvex-check: /etc/korvex/blocked_ips:3: [203.0.113.*] can never match a peer's "
      "address; replace it by the addresses it is meant for (korvex-listmgr -b -d, then -b "
      "-a)\n"
      "korvex-check: /etc/korvex/blocked_ips:4: [not-an-ip] can never match a peer's address; "
      "replace it by the addresses it is meant for (korvex-listmgr -b -d, then -b -a)\n";
  const std::string rejection =
      "korvex-check: /etc/korvex/rejections/valid_helo_domain: its text is not in the "
      "rejection cache; run korvex-rejmsg -i\n";
  const std::string access =
      "korvex-check: /var/log/korvex/kxlog: not writable by " + kSmtpd +
      ", so no activity line is kept; chown " + kSmtpd + " /var/log/korvex/kxlog\n" +
      "korvex-check: " + counter_file() + ": not writable by " + kSmtpd +
      ", so nothing is counted; chown " + kSmtpd + " " + counter_file() + "\n" +
      "korvex-check: /var/cores/korvex: missing, so a crash leaves no core file; mkdir -p "
      "/var/cores/korvex && chown " +
      kSmtpd + " /var/cores/korvex\n" + "korvex-check: /var/cache/korvex: not writable by " +
      kSmtpd + ", so a pattern list that no index fits is compiled whole on every run; chown " +
      kSmtpd + " /var/cache/korvex\n";
  const std::string updaters =
      "korvex-check: /etc/korvex/tarn/mirror_info: missing, so tarn_update fetches no TARN "
      "map; write one mirror URL per line\n"
      "korvex-check: /etc/korvex/tarn/lists_to_update: names no list, so tarn_update fetches "
      "no TARN map; write one TARN list name per line\n"
      "korvex-check: /etc/korvex/control/ksf.mirrors: names no mirror, so ksfpull cannot "
      "update the forgery table; write one mirror URL per line\n"
      "korvex-check: /etc/korvex/control/admin_email: missing, so korvex-update's alerts "
      "reach nobody; write the administrator's mail address on its first line\n";

  const RunResult broken = sandbox().run({kCheck});
  EXPECT_TRUE(broken.exited_with(1)) << broken.describe();
  EXPECT_EQ(broken.out, head + rejection + access + updaters);
  EXPECT_EQ(broken.err, "");
  EXPECT_TRUE(broken.syslog.empty());

  const RunResult quiet = sandbox().run({kCheck, "-q"});
  EXPECT_TRUE(quiet.exited_with(1)) << quiet.describe();
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");

  // Without the key file no cache key can be made: that one line replaces the texts'.
  ASSERT_EQ(::unlink("/usr/bin/bash"), 0);
  // Without the SMTP daemon's user nothing it writes can be judged.
  place("/etc/passwd", *passwd_);
  const RunResult keyless = sandbox().run({kCheck});
  EXPECT_TRUE(keyless.exited_with(1)) << keyless.describe();
  EXPECT_EQ(keyless.out,
            head +
                "korvex-check: /bin/bash: cannot be found (No such file or directory), so no "
                "custom rejection text reaches the cache; reinstall it, then run "
                "korvex-rejmsg -i\n"
                "korvex-check: /etc/passwd: no user " +
                kSmtpd +
                ", as whom the SMTP daemon runs the plugin; create the user, or build Korvex "
                "with -DKORVEX_SMTPD_USER set to the user qmail-smtpd runs as\n" +
                updaters);
}

TEST_F(CheckRun, CommandLine) {
  if (!has_sandbox()) return;
  const std::string usage =
      "Usage: korvex-check [-q]\n"
      "Checks the Korvex installation and prints one line per problem found, with what to\n"
      "do about it.\n"
      "   -q          print nothing, only set the exit status (for monitoring)\n"
      "   -h, --help  print this text\n"
      "   --version   print the name and version\n"
      "Exit status: 0 no problem found, 1 problems found, 2 usage error.\n";
  const RunResult help = sandbox().run({kCheck, "--help"});
  EXPECT_TRUE(help.exited_with(0)) << help.describe();
  EXPECT_EQ(help.out, usage);
  EXPECT_EQ(help.err, "");
  for (const char* wrong : {"-x", "extra"}) {
    const RunResult bad = sandbox().run({kCheck, wrong});
    EXPECT_TRUE(bad.exited_with(2)) << bad.describe();
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, usage);
  }
}

}  // namespace
}  // namespace korvex::testing
