// Whole-install tests: `cmake --install` of the build tree, staged under DESTDIR and live
// at the fixed paths inside a sandbox, and the installed plugin run as the SMTP daemon's
// user would run it.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";
const std::string kPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
// A user id the host is unlikely to have; only the sandbox's /etc/passwd names it.
constexpr unsigned kSmtpdUid = 64011;
constexpr unsigned kSmtpdGid = 65534;

// korvex-listmgr is part of the install once its folder is in the build.
#ifdef KORVEX_INSTALLS_LISTMGR
const std::string kListmgrLine = "/usr/sbin/korvex-listmgr -rwxr-xr-x\n";
const std::string kListmgrLink =
    "/usr/share/korvex/bin/korvex-listmgr -> ../../../sbin/korvex-listmgr\n";
#else
const std::string kListmgrLine;
const std::string kListmgrLink;
#endif

// "drwxr-xr-x path" for every entry below root ("drwxr-s---" when set-group-id), and
// "path -> target" for a symbolic link, in byte order of the paths.
std::string layout_of(const std::string& root) {
  std::vector<std::string> lines;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string path = entry.path().string().substr(root.size());
    struct stat status {};
    if (lstat(entry.path().c_str(), &status) != 0) return "cannot stat " + entry.path().string();
    if (S_ISLNK(status.st_mode)) {
      lines.push_back(path + " -> " + fs::read_symlink(entry.path()).string());
      continue;
    }
    std::string mode = S_ISDIR(status.st_mode) ? "d" : "-";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
      mode += (status.st_mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
    }
    if ((status.st_mode & S_ISGID) != 0) mode[6] = 's';
    lines.push_back(path + " " + mode);
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string owner_of(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "missing";
  return std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid);
}

std::string mode_of(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return "missing";
  char octal[8] = {};
  (void)std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(status.st_mode & 07777));
  return octal;
}

// The log readers' group the install hands the log directory to; root's where there is none.
std::string adm_group() {
  const group* adm = getgrnam("adm");
  return std::to_string(adm != nullptr ? adm->gr_gid : 0);
}

class InstallRun : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    (void)umask(022);  // the modes compared below are those of an administrator's shell
  }

  RunResult install(const std::vector<std::string>& env) {
    return sandbox().run({KORVEX_CMAKE_COMMAND, "--install", KORVEX_BUILD_DIR}, {.env = env});
  }

  // A sandbox-only SMTP daemon user named as the build was configured.
  void add_smtpd_user() {
    const std::optional<std::string> passwd = sandbox().read_file("/etc/passwd");
    ASSERT_TRUE(passwd);
    ASSERT_TRUE(sandbox().place_file(
        "/etc/passwd", *passwd + KORVEX_SMTPD_USER + ":x:" + std::to_string(kSmtpdUid) + ":" +
                           std::to_string(kSmtpdGid) + "::/var/qmail:/usr/sbin/nologin\n",
        0644));
  }

  // Runs argv as the SMTP daemon's user, the way qmail-smtpd starts its plugins.
  RunResult run_as_smtpd(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
    std::vector<std::string> command = {"/usr/bin/setpriv",
                                        "--reuid=" + std::to_string(kSmtpdUid),
                                        "--regid=" + std::to_string(kSmtpdGid), "--clear-groups"};
    command.insert(command.end(), argv.begin(), argv.end());
    return sandbox().run(command, {.env = env});
  }
};

TEST_F(InstallRun, StagedInstallLaysOutProgramsDirectoriesAndDocumentation) {
  if (!has_sandbox()) return;
  const RunResult run = install({kPath, "DESTDIR=/tmp/stage"});
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(layout_of("/tmp/stage"),
            "/etc drwxr-xr-x\n"
            "/etc/cron.d drwxr-xr-x\n"
            "/etc/cron.d/korvex -rw-r--r--\n"
            "/etc/korvex drwxr-xr-x\n"
            "/etc/korvex/control drwxr-xr-x\n"
            "/etc/korvex/dynaregex drwxr-xr-x\n"
            "/etc/korvex/rejections drwxr-xr-x\n"
            "/etc/korvex/tarn drwxr-xr-x\n"
            "/etc/logrotate.d drwxr-xr-x\n"
            "/etc/logrotate.d/korvex -rw-r--r--\n"
            "/lib drwxr-xr-x\n"
            "/lib/systemd drwxr-xr-x\n"
            "/lib/systemd/system drwxr-xr-x\n"
            "/lib/systemd/system/korvex-rejmsg.service -rw-r--r--\n"
            "/usr drwxr-xr-x\n"
            "/usr/sbin drwxr-xr-x\n"
            "/usr/sbin/korvex-check -rwxr-xr-x\n" +
                kListmgrLine +
                "/usr/sbin/korvex-plesk -rwxr-xr-x\n"
                "/usr/sbin/korvex-regex-index -rwxr-xr-x\n"
                "/usr/sbin/korvex-rejmsg -rwxr-xr-x\n"
                "/usr/sbin/korvex-report -rwxr-xr-x\n"
                "/usr/sbin/korvex-update -rwxr-xr-x\n"
                "/usr/sbin/ksfpull -rwxr-xr-x\n"
                "/usr/sbin/regexpull -rwxr-xr-x\n"
                "/usr/sbin/tarn_update -rwxr-xr-x\n"
                "/usr/share drwxr-xr-x\n"
                "/usr/share/doc drwxr-xr-x\n"
                "/usr/share/doc/korvex drwxr-xr-x\n"
                "/usr/share/doc/korvex/changelog.Debian.gz -rw-r--r--\n"
                "/usr/share/doc/korvex/copyright -rw-r--r--\n"
                "/usr/share/doc/korvex/examples drwxr-xr-x\n"
                "/usr/share/doc/korvex/examples/README -rw-r--r--\n"
                "/usr/share/doc/korvex/examples/smtpplugins -rw-r--r--\n"
                "/usr/share/korvex drwxr-xr-x\n"
                "/usr/share/korvex/bin drwxr-xr-x\n"
                "/usr/share/korvex/bin/korvex-check -> ../../../sbin/korvex-check\n" +
                kListmgrLink +
                "/usr/share/korvex/bin/korvex-plesk -> ../../../sbin/korvex-plesk\n"
                "/usr/share/korvex/bin/korvex-regex-index -> ../../../sbin/korvex-regex-index\n"
                "/usr/share/korvex/bin/korvex-rejmsg -> ../../../sbin/korvex-rejmsg\n"
                "/usr/share/korvex/bin/korvex-report -> ../../../sbin/korvex-report\n"
                "/usr/share/korvex/bin/korvex-update -> ../../../sbin/korvex-update\n"
                "/usr/share/korvex/bin/ksfpull -> ../../../sbin/ksfpull\n"
                "/usr/share/korvex/bin/regexpull -> ../../../sbin/regexpull\n"
                "/usr/share/korvex/bin/tarn_update -> ../../../sbin/tarn_update\n"
                "/usr/share/lintian drwxr-xr-x\n"
                "/usr/share/lintian/overrides drwxr-xr-x\n"
                "/usr/share/lintian/overrides/korvex -rw-r--r--\n"
                "/usr/share/man drwxr-xr-x\n"
                "/usr/share/man/man8 drwxr-xr-x\n"
                "/usr/share/man/man8/korvex-check.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-listmgr.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-plesk.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-regex-index.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-rejmsg.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-report.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex-update.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/korvex.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/ksfpull.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/regexpull.8.gz -rw-r--r--\n"
                "/usr/share/man/man8/tarn_update.8.gz -rw-r--r--\n"
                "/var drwxr-xr-x\n"
                "/var/cache drwxr-xr-x\n"
                "/var/cache/korvex drwxr-xr-x\n"
                "/var/cache/tarn drwxr-xr-x\n"
                "/var/cache/tarn/incoming drwxr-xr-x\n"
                "/var/cores drwxr-xr-x\n"
                "/var/cores/korvex drwx------\n"
                "/var/log drwxr-xr-x\n"
                "/var/log/korvex drwxr-s---\n");
  // A staged tree belongs to whoever installs it; owners are the package's business.
  EXPECT_EQ(owner_of("/tmp/stage/var/log/korvex"), "0:0");
}

TEST_F(InstallRun, LiveInstallLetsTheSmtpdUserRunThePlugin) {
  if (!has_sandbox()) return;
  add_smtpd_user();
  const RunResult run = install({kPath});
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  const std::string smtpd = std::to_string(kSmtpdUid) + ":0";
  EXPECT_EQ(owner_of("/var/log/korvex"), std::to_string(kSmtpdUid) + ":" + adm_group());
  EXPECT_EQ(mode_of("/var/log/korvex"), "2750");
  EXPECT_EQ(owner_of("/var/cores/korvex"), smtpd);
  EXPECT_EQ(owner_of("/var/cache/korvex"), smtpd);
  EXPECT_EQ(owner_of("/etc/korvex/control"), "0:0");
  // The plugin's syslog socket must take lines from an unprivileged sender too.
  ASSERT_EQ(chmod("/dev/log", 0666), 0);

  const RunResult show = run_as_smtpd({kPlesk, "-s"}, {});
  ASSERT_TRUE(show.exited_with(0)) << show.describe();
  EXPECT_EQ(show.out, "");
  EXPECT_EQ(show.err,
            "Control files:\n"
            "==============\n"
            " - Logging to mail.debug is NOT enabled.\n"
            " - Core dumps (in /var/cores/korvex) are NOT enabled.\n\n"
            "Current Ruleset (rules are checked in order listed):\n\n"
            "RULE                        DEFAULT    CURRENT    MUA->MTA\n"
            "====                        =======    =======    ========\n"
            "block_lists                 Enabled    Enabled    No\n"
            "block_ip_in_addr            Enabled    Enabled    Yes\n"
            "check_ip_reverse_dns        Enabled    Enabled    No\n"
            "check_dynamic_reverse_dns   Enabled    Enabled    No\n"
            "check_reverse_dns_list      Enabled    Enabled    No\n"
            "resolve_helo_domain         Disabled   Disabled   No\n"
            "require_full_addr           Enabled    Enabled    Yes\n"
            "require_helo                Enabled    Enabled    Yes\n"
            "valid_from_domain           Disabled   Disabled   No\n"
            "valid_helo_domain           Enabled    Enabled    No\n"
            "known_sender_forgery        Disabled   Disabled   Yes\n\n"
            "Enabled TARN Lists:\n"
            "==================\n"
            "No TARN lists enabled.\n");

  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n", 0644));
  // A daemon that hands down a mask letting everybody read what it creates.
  const RunResult refused = run_as_smtpd(
      {"/bin/sh", "-c", "umask 000; exec " + kPlesk},
      {"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net", "SMTPHELOHOST=mail.example.net",
       "SMTPMAILFROM=alice@example.net", "SMTPRCPTTO=bob@example.org"});
  ASSERT_TRUE(refused.exited_with(0)) << refused.describe();
  EXPECT_EQ(refused.out,
            "P550-Your message was rejected by this system and was not delivered.\n"
            "P550-Reason: This system will not accept messages from your location. "
            "IP=[192.0.2.9]\n"
            "P550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)\n"
            "P550-For more information, please visit the URL:\n"
            "P550-https://www.korvex.example/empowering_the_user\n"
            "E550 or contact your ISP or mail server operator.\n");
  EXPECT_EQ(refused.err, "");
  ASSERT_EQ(refused.syslog.size(), 1U);
  EXPECT_EQ(refused.syslog[0].describe(),
            "mail.info korvex-plesk: SPAM[ip_blacklist]: mua=0,ip=[192.0.2.9:mail.example.net],"
            "helo=<mail.example.net>,from=<alice@example.net>,rcpt=<bob@example.org>");
  // Whatever the daemon's mask: the activity file and counter are no other user's reading.
  const std::string month_counter =
      sandbox().run({"/bin/sh", "-c", "echo /var/log/korvex/.counter.dat.*"}).out;
  for (const std::string& file :
       {std::string("/var/log/korvex/kxlog"), month_counter.substr(0, month_counter.size() - 1)}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(owner_of(file), std::to_string(kSmtpdUid) + ":" + adm_group());
    EXPECT_EQ(mode_of(file), "640");
  }
}

TEST_F(InstallRun, CopiedPatternListKeepsItsIndexAndAnEditedOneIsIndexedOnce) {
  if (!has_sandbox()) return;
  add_smtpd_user();
  ASSERT_TRUE(install({kPath}).exited_with(0));
  ASSERT_EQ(chmod("/dev/log", 0666), 0);
  const std::string list = "/etc/korvex/dynaregex/dyna.regexes";
  const std::string header = "# Dynamic Style Regular Expression Listing\n";
  ASSERT_TRUE(sandbox().place_file(list, header + "^dialup-\n", 0644));
  const RunResult indexed =
      sandbox().run({std::string(kProgramDirectory) + "/korvex-regex-index", list}, {});
  ASSERT_TRUE(indexed.exited_with(0)) << indexed.describe();
  // Deployed again as a copy with its own inode and times, the index beside it still fits.
  ASSERT_TRUE(sandbox().run({"/bin/cp", "-a", list, "/tmp/dyna.copy"}, {}).exited_with(0));
  ASSERT_TRUE(sandbox().run({"/bin/mv", "/tmp/dyna.copy", list}, {}).exited_with(0));
  const std::string refused =
      "mail.info korvex-plesk: SPAM[check_dynamic_reverse_dns]: mua=0,"
      "ip=[192.0.2.9:dialup-7.example.net],helo=<mail.example.net>,from=<alice@example.net>,"
      "rcpt=<bob@example.org>";
  const std::string rebuilt =
      "mail.warning korvex-plesk: Warning: checkRegexList(" + list +
      "): no index fits the list, rebuilt /var/cache/korvex/dyna.regexes.index";
  const auto session = [this] {
    const RunResult run = run_as_smtpd(
        {kPlesk}, {"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=dialup-7.example.net",
                   "SMTPHELOHOST=mail.example.net", "SMTPMAILFROM=alice@example.net",
                   "SMTPRCPTTO=bob@example.org"});
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
    std::vector<std::string> lines;
    for (const SyslogLine& line : run.syslog) lines.push_back(line.describe());
    return lines;
  };
  EXPECT_EQ(session(), std::vector<std::string>{refused});
  // Restamped for the copy into the cache, where the next runs find it by one fstat.
  ASSERT_EQ(unlink((list + ".index").c_str()), 0);
  EXPECT_EQ(session(), std::vector<std::string>{refused});

  // Edited by hand and not indexed again: the first run indexes it where the SMTP daemon's
  // user may write, the runs after it use that index without a word.
  ASSERT_TRUE(sandbox().place_file(list, header + "^cable-\n^dialup-\n", 0644));
  EXPECT_EQ(session(), (std::vector<std::string>{rebuilt, refused}));
  EXPECT_EQ(session(), std::vector<std::string>{refused});
  EXPECT_EQ(sandbox().list_directory("/var/cache/korvex"),
            std::vector<std::string>{"dyna.regexes.index"});
  EXPECT_EQ(owner_of("/var/cache/korvex/dyna.regexes.index"),
            std::to_string(kSmtpdUid) + ":" + std::to_string(kSmtpdGid));
}

TEST_F(InstallRun, ActivityLinesAndCountsTheSmtpdUserCannotWriteAreReportedEveryRun) {
  if (!has_sandbox()) return;
  add_smtpd_user();
  ASSERT_TRUE(install({kPath}).exited_with(0));
  ASSERT_EQ(chmod("/dev/log", 0666), 0);
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n", 0644));
  const std::vector<std::string> env = {"TCPREMOTEIP=192.0.2.9", "TCPREMOTEHOST=mail.example.net",
                                        "SMTPHELOHOST=mail.example.net",
                                        "SMTPMAILFROM=alice@example.net",
                                        "SMTPRCPTTO=bob@example.org"};
  // A run by root (a test by hand, say) leaves the activity file and counters root's.
  ASSERT_TRUE(sandbox().run({kPlesk}, {.env = env}).exited_with(0));
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  ASSERT_NE(localtime_r(&now, &local), nullptr);
  char month[16];
  (void)std::snprintf(month, sizeof month, "%02d", local.tm_mon + 1);
  const std::vector<std::string> expected = {
      std::string("mail.err korvex-plesk: Unable to open the counter file "
                  "/var/log/korvex/.counter.dat.") +
          month + ": Permission denied",
      "mail.err korvex-plesk: Unable to append the activity line to /var/log/korvex/kxlog: "
      "Permission denied",
      "mail.info korvex-plesk: SPAM[ip_blacklist]: mua=0,ip=[192.0.2.9:mail.example.net],"
      "helo=<mail.example.net>,from=<alice@example.net>,rcpt=<bob@example.org>"};
  for (int run = 0; run < 2; ++run) {
    const RunResult refused = run_as_smtpd({kPlesk}, env);
    ASSERT_TRUE(refused.exited_with(0)) << refused.describe();
    EXPECT_EQ(refused.err, "");
    std::vector<std::string> lines;
    for (const SyslogLine& line : refused.syslog) lines.push_back(line.describe());
    EXPECT_EQ(lines, expected) << "run " << run;
  }
}

}  // namespace
}  // namespace korvex::testing
