// korvex-update - the update job: checks the installation, detaches, and runs the three
// updaters one after the other under a single-instance lock.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/program_info.h"
#include "support/string_list.h"
#include "update/report.h"
#include "update/update_funcs.h"
#include "update/update_paths.h"

namespace {

void update_usage(std::FILE* stream, const char* program) {
  (void)std::fprintf(stream,
                     "Usage: %s\n\n"
                     "Runs regexpull (twice), ksfpull and tarn_update one after the other in the\n"
                     "background, one run at a time; cron starts it every four hours.\n"
                     "It takes no arguments.\n",
                     program);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "korvex-update", update_usage)) {
    return *answered;
  }
  // A mistyped option must not start a full update run in the background.
  if (argc > 1) {
    update_usage(stderr, argv[0]);
    return EXIT_FAILURE;
  }
  install_update_crash_handler(kUpdateCoreDir);
  ::openlog(kUpdateProgramName, LOG_PID, LOG_MAIL);

  string_list alerts;
  if (!check_tools(kRequiredTools, &alerts)) {
    // Said here too: the mail may be undeliverable, or read long after cron ran us.
    for (const std::string& alert : alerts) {
      ::syslog(LOG_ERR, "%s", alert.c_str());
      report(stderr, "%s: %s\n", kUpdateProgramName, alert.c_str());
    }
    (void)send_pending_mail(alerts, kAdminEmailFile);  // undeliverable alerts are dropped
    return EXIT_FAILURE;
  }
  if (::daemon(0, 0) != 0) {
    const char* reason = std::strerror(errno);
    report(stderr, "%s: cannot detach into the background: %s\n", kUpdateProgramName, reason);
    ::syslog(LOG_ERR, "cannot detach into the background: %s", reason);
    return EXIT_FAILURE;
  }
  return run_update_job(kUpdateLockFile, run_updaters, ::syslog);
}
