// korvex-update - the update job: checks the installation, detaches, and runs the three
// updaters one after the other under a single-instance lock.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "support/string_list.h"
#include "update/update_funcs.h"
#include "update/update_paths.h"

int main() {
  using namespace korvex;
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  (void)::setrlimit(RLIMIT_CORE, &unlimited);  // only decides whether a crash leaves a core
  install_update_crash_handler(kUpdateCoreDir);

  string_list alerts;
  if (!check_tools(kRequiredTools, &alerts)) {
    (void)send_pending_mail(alerts, kAdminEmailFile);  // undeliverable alerts are dropped
    return EXIT_FAILURE;
  }
  if (::daemon(0, 0) != 0) return EXIT_FAILURE;
  return run_update_job(kUpdateLockFile, run_updaters);
}
