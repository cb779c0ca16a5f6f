// ksfpull - the forgery list updater: refreshes the table of permitted senders per domain.
#include <syslog.h>

#include <cstdlib>

#include "support/qv_log.h"
#include "support/qv_segv.h"
#include "update/ksfpull.h"
#include "update/update_paths.h"

int main() {
  using namespace korvex;
  ::openlog("ksfpull", LOG_PID, LOG_DAEMON);
  qv_set_logger(::syslog);
  (void)qv_trap_segfault("ksfpull", kKsfCoreBaseDir);  // reports its own failure
  const int status = ksfpull_run(KsfPaths{});
  ::closelog();
  return status;
}
