// smtpd_checks - what the plugin writes as the SMTP daemon's user: the activity file, the
// month's counter file, the core directory and the pattern-index cache. Each is judged
// from owners and modes for that user, since this program itself runs as root.
//
// Exports: check_smtpd_access (see installation_check.h).
#include <ctime>
#include <string>

#include "check/installation_check.h"
#include "check/write_access.h"
#include "plugin/engine.h"
#include "plugin/plugin_paths.h"

#ifndef KORVEX_SMTPD_USER
#error "KORVEX_SMTPD_USER must name the user the SMTP daemon runs the plugin as"
#endif

namespace korvex {
namespace {

struct write_target {
  std::string path;
  bool directory;
  const char* without_it;  // what is lost while the user cannot write it
};

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::string current_counter_file() {
  const std::time_t now = std::time(nullptr);
  struct tm local = {};
  const int month = ::localtime_r(&now, &local) != nullptr ? local.tm_mon + 1 : 1;
  return counter_file_path(std::string(kPleskLogDir) + "/" + kCounterFileName, month);
}

void check_target(const account& who, const write_target& target, check_report* report) {
  using kind = write_blocker::kind;
  const std::optional<write_blocker> blocker =
      find_write_blocker(who, target.path, target.directory);
  if (!blocker) return;
  const std::string home = target.directory ? target.path : parent_of(target.path);
  const std::string chown = "chown " + who.name + " ";
  const std::string lost = std::string(", ") + target.without_it;
  switch (blocker->what) {
    case kind::missing:
      report->add(home, "missing" + lost, "mkdir -p " + home + " && " + chown + home);
      break;
    case kind::no_search:
      report->add(blocker->path, who.name + " cannot pass through it to " + target.path + lost,
                  "chmod o+x " + blocker->path);
      break;
    case kind::not_writable:
      if (blocker->path == target.path) {
        report->add(target.path, "not writable by " + who.name + lost, chown + target.path);
      } else {
        report->add(
            blocker->path,
            who.name + " cannot create " + target.path.substr(home.size() + 1) + " in it" + lost,
            chown + blocker->path);
      }
      break;
    case kind::wrong_type:
      report->add(
          blocker->path,
          std::string(blocker->path == target.path && !target.directory ? "not a regular file"
                                                                        : "not a directory") +
              lost,
          blocker->path == target.path && !target.directory
              ? "remove it, the plugin makes it anew"
              : "replace it by a directory that " + who.name + " owns");
      break;
  }
}

}  // namespace

void check_smtpd_access(check_report* report) {
  const std::optional<account> smtpd = find_account(KORVEX_SMTPD_USER);
  if (!smtpd) {
    report->add(
        "/etc/passwd",
        std::string("no user ") + KORVEX_SMTPD_USER + ", as whom the SMTP daemon runs the plugin",
        "create the user, or build Korvex with -DKORVEX_SMTPD_USER set to the user "
        "qmail-smtpd runs as");
    return;
  }
  const std::string core_template = kCoreDirTemplate;
  const write_target targets[] = {
      {std::string(kPleskLogDir) + "/" + kActivityFileName, false, "so no activity line is kept"},
      {current_counter_file(), false, "so nothing is counted"},
      {parent_of(core_template), true, "so a crash leaves no core file"},
      {kPatternIndexCacheDir, true,
       "so a pattern list that no index fits is compiled whole on every run"},
  };
  for (const write_target& target : targets) check_target(*smtpd, target, report);
}

}  // namespace korvex
