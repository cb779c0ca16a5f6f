#include "update/update_funcs.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/update/update_test_util.h"

namespace korvex {
namespace {

using testing::TempDir;

TEST(UpdateTools, EveryMissingToolIsReportedInCheckOrder) {
  TempDir dir;
  const std::string present = testing::write_script(dir, "present", "exit 0\n");
  const std::string not_executable = dir.write("plain", "data");
  std::vector<RequiredTool> tools = kRequiredTools;
  tools[0].path = present;
  tools[1].path = dir.file("regexpull");
  tools[2].path = present;
  tools[3].path = not_executable;
  string_list alerts;
  EXPECT_FALSE(check_tools(tools, &alerts));
  EXPECT_EQ(alerts, (string_list{"Regular Expressions Update utility not found. Corrupt installation.",
                                 "Required utility curl not found. Please install"}));
  string_list none;
  EXPECT_TRUE(check_tools({{present, "x"}}, &none));
  EXPECT_TRUE(none.empty());
}

TEST(UpdateMail, AdministratorAddressIsTheFirstLine) {
  TempDir dir;
  EXPECT_EQ(read_admin_address(dir.write("a", "admin@example.org\nsecond@example.org\n")),
            "admin@example.org");
  EXPECT_EQ(read_admin_address(dir.write("b", "admin@example.org\r\n")), "admin@example.org\r");
  EXPECT_EQ(read_admin_address(dir.write("c", std::string("ad\xffmin@x", 9) + std::string(1, '\0') +
                                                  "ignored")),
            "admin@x");
  EXPECT_EQ(read_admin_address(dir.write("d", "no-newline@example.org")), "no-newline@example.org");
  EXPECT_EQ(read_admin_address(dir.write("e", std::string(255, 'a') + "\n")), std::string(255, 'a'));
  EXPECT_EQ(read_admin_address(dir.write("f", std::string(256, 'a') + "\n")), std::nullopt);
  EXPECT_EQ(read_admin_address(dir.write("g", "\nadmin@example.org\n")), std::nullopt);
  EXPECT_EQ(read_admin_address(dir.file("missing")), std::nullopt);
}

TEST(UpdateMail, MessageLayout) {
  ASSERT_EQ(::setenv("TZ", "UTC", 1), 0);
  ::tzset();
  EXPECT_EQ(alert_mail_text({"first", "second"}, "support@korvex.example", "root@example.org",
                            "Korvex Updater Alerts", 86400 * 3 + 3723),
            "Subject: Korvex Updater Alerts\r\n"
            "To: <root@example.org>\r\n"
            "From: <support@korvex.example>\r\n"
            "Date: <Sun Jan  4 01:02:03 1970>\r\n\r\n"
            "first\r\nsecond\r\n"
            "\n.\n");
}

// A stand-in sendmail that records its arguments, one per line, and its input.
class StandInSendmail : public ::testing::Test {
 protected:
  std::string install(const std::string& name) {
    return testing::write_script(dir_, name,
                                 "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                                     dir_.file(name + ".args") + "\ncat > " +
                                     dir_.file(name + ".input") + "\n");
  }
  TempDir dir_;
};

TEST_F(StandInSendmail, SecondChoiceIsUsedWhenFirstIsMissing) {
  const std::string second = install("sendmail");
  const std::string admin = dir_.write("admin_email", "root@example.org; touch pwned\r\n");
  string_list alerts = {"Regular Expressions Update utility not found. Corrupt installation.",
                        "Required utility curl not found. Please install"};
  ASSERT_TRUE(send_pending_mail(alerts, admin, {dir_.file("qmail-sendmail"), second}));
  EXPECT_EQ(TempDir::read(dir_.file("sendmail.args")),
            "-f\nsupport@korvex.example\nroot@example.org; touch pwned\r\n");
  const std::string input = TempDir::read(dir_.file("sendmail.input"));
  const std::string date_line = input.substr(input.find("Date: <"), 32);
  EXPECT_EQ(input, "Subject: Korvex Updater Alerts\r\n"
                   "To: <root@example.org; touch pwned\r>\r\n"
                   "From: <support@korvex.example>\r\n" +
                       date_line + "\r\n\r\n"
                       "Regular Expressions Update utility not found. Corrupt installation.\r\n"
                       "Required utility curl not found. Please install\r\n\n.\n");
  EXPECT_THAT(date_line, ::testing::MatchesRegex("Date: <... ... [ 0-9]. ..:..:.. ....>"));
  EXPECT_FALSE(testing::exists("pwned"));
}

TEST_F(StandInSendmail, NothingIsSentWithoutAlertsAddressOrProgram) {
  const std::string program = install("sendmail");
  const std::string admin = dir_.write("admin_email", "root@example.org\n");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(send_pending_mail({}, admin, {program}));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "messages is NULL..");
  EXPECT_FALSE(send_pending_mail({"alert"}, dir_.file("no-admin"), {program}));
  EXPECT_FALSE(send_pending_mail({"alert"}, admin, {dir_.file("none"), dir_.path()}));
  EXPECT_FALSE(testing::exists(dir_.file("sendmail.args")));
}

TEST(UpdateCommands, UpdaterLinesInOrder) {
  EXPECT_EQ(update_regex_command(kDynamicHostRegexFile, "DUL"),
            "'/usr/share/korvex/bin/regexpull' -f '/etc/korvex/dynaregex/dyna.regexes' -c tested "
            "-t 'DUL' -e -p 'korvex'");
  EXPECT_EQ(update_regex_command(kAbusedHostRegexFile, "NONDUL"),
            "'/usr/share/korvex/bin/regexpull' -f '/etc/korvex/dynaregex/spam.regexes' -c tested "
            "-t 'NONDUL' -e -p 'korvex'");
  EXPECT_EQ(update_ksf_command(), "'/usr/share/korvex/bin/ksfpull'");
  EXPECT_EQ(update_tarn_command(),
            "'/usr/share/korvex/bin/tarn_update' -f '/etc/korvex/tarn/lists_to_update' -m "
            "'/etc/korvex/tarn/mirror_info' -u '/var/cache/tarn/'");
}

pid_t dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(UpdateLock, StaleFilesAreTakenOverAndRemovedAfterwards) {
  TempDir dir;
  const std::string path = dir.file("korvex_update.lock");
  const std::string own = std::to_string(::getpid());
  for (const std::string& stale : {std::to_string(dead_pid()), std::string("0"),
                                   std::string("text"), std::string(), std::string("-5")}) {
    dir.write("korvex_update.lock", stale);
    std::string seen;
    EXPECT_EQ(run_update_job(path, [&] { seen = TempDir::read(path); }), 0);
    EXPECT_EQ(seen, own) << "stale content: " << stale;
    EXPECT_FALSE(testing::exists(path));
  }
  std::string seen;
  EXPECT_EQ(run_update_job(path, [&] { seen = TempDir::read(path); }), 0);
  EXPECT_EQ(seen, own);
}

TEST(UpdateLock, LiveInstanceKeepsItsLock) {
  TempDir dir;
  const std::string path = dir.file("korvex_update.lock");
  bool ran = false;
  // Recorded by a live instance that holds no advisory lock.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t instance = ::fork();
  ASSERT_GE(instance, 0);
  if (instance == 0) {
    (void)::prctl(PR_SET_NAME, kUpdateProgramName);
    (void)!::write(ready[1], "r", 1);
    ::pause();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  dir.write("korvex_update.lock", std::to_string(instance));
  EXPECT_EQ(run_update_job(path, [&] { ran = true; }), 0);
  EXPECT_FALSE(ran);
  EXPECT_EQ(TempDir::read(path), std::to_string(instance));
  ::kill(instance, SIGKILL);
  ::waitpid(instance, nullptr, 0);
  for (const int fd : ready) ::close(fd);

  // Held under the advisory lock by a process whose id reads as stale.
  dir.write("korvex_update.lock", "0");
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_EQ(run_update_job(path, [&] { ran = true; }), 0);
  EXPECT_FALSE(ran);
  EXPECT_EQ(TempDir::read(path), "0");
  ::close(fd);
}

TEST(UpdateLock, LockFilesNotMadeByAnInstanceAreReportedAndReplaced) {
  TempDir dir;
  const std::string path = dir.file("korvex_update.lock");
  const std::string own = std::to_string(::getpid());
  const std::string victim = dir.write("victim", "precious");
  const auto replaced = [&](const std::string& reason) {
    return std::vector<korvex::testing::LoggedLine>{
        {LOG_WARNING, "Replacing lock file " + path + ": " + reason}};
  };
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string reason;
  };
  const std::vector<Case> cases = {
      // pid 1 is always alive: anybody could stop every update with it.
      {"a live process that is not an instance", [&] { dir.write("korvex_update.lock", "1"); },
       "it names process 1, which is not korvex-update"},
      {"a symbolic link", [&] { ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0); },
       "it is a symbolic link"},
      {"a directory", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); },
       "it is not a regular file"},
      {"another user's file",
       [&] {
         dir.write("korvex_update.lock", "");
         ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
       },
       "it belongs to uid 65534, not to uid " + std::to_string(::geteuid())},
  };
  for (const Case& each : cases) {
    if (std::string(each.what) == "another user's file" && ::geteuid() != 0) continue;
    each.make();
    korvex::testing::captured_lines().clear();
    std::string seen;
    EXPECT_EQ(run_update_job(path, [&] { seen = TempDir::read(path); },
                             korvex::testing::capture_sink),
              0)
        << each.what;
    EXPECT_EQ(seen, own) << each.what;
    EXPECT_EQ(korvex::testing::captured_lines(), replaced(each.reason)) << each.what;
    EXPECT_FALSE(testing::exists(path)) << each.what;
  }
  EXPECT_EQ(TempDir::read(victim), "precious");
}

TEST(UpdateLock, SimultaneousStartsRunOnce) {
  TempDir dir;
  const std::string path = dir.file("korvex_update.lock");
  const std::string record = dir.file("runs");
  int start[2];
  int release[2];
  ASSERT_EQ(::pipe(start), 0);
  ASSERT_EQ(::pipe(release), 0);
  constexpr int kStarts = 4;
  for (int i = 0; i < kStarts; ++i) {
    if (::fork() == 0) {
      char byte = 0;
      (void)!::read(start[0], &byte, 1);
      // The winner holds the lock until every other start has given up.
      _exit(run_update_job(path, [&] {
        const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        (void)!::write(fd, "run\n", 4);
        ::close(fd);
        (void)!::read(release[0], &byte, 1);
      }));
    }
  }
  ASSERT_EQ(::write(start[1], "gggg", kStarts), kStarts);
  std::vector<int> statuses;
  for (int i = 0; i < kStarts - 1; ++i) {
    int status = -1;
    ::wait(&status);
    statuses.push_back(status);
  }
  ASSERT_EQ(::write(release[1], "r", 1), 1);
  int status = -1;
  ::wait(&status);
  statuses.push_back(status);
  for (const int each : statuses) EXPECT_TRUE(WIFEXITED(each) && WEXITSTATUS(each) == 0);
  for (const int fd : {start[0], start[1], release[0], release[1]}) ::close(fd);
  EXPECT_EQ(TempDir::read(record), "run\n");
  EXPECT_FALSE(testing::exists(path));
}

}  // namespace
}  // namespace korvex
