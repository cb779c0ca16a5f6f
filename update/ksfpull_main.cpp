// ksfpull - the forgery list updater: refreshes the table of permitted senders per domain.
#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "support/program_info.h"
#include "support/qv_log.h"
#include "support/qv_segv.h"
#include "update/ksfpull.h"
#include "update/update_paths.h"

namespace {

void ksfpull_usage(std::FILE* stream, const char* program) {
  (void)std::fprintf(stream,
                     "Usage: %s\n\n"
                     "Fetches the forgery table /etc/korvex/control/valid_domain_ips from a mirror\n"
                     "named in /etc/korvex/control/ksf.mirrors. Other arguments are ignored.\n",
                     program);
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "ksfpull", ksfpull_usage)) {
    return *answered;
  }
  ::openlog("ksfpull", LOG_PID, LOG_DAEMON);
  qv_set_logger(::syslog);
  (void)qv_trap_segfault("ksfpull", kKsfCoreBaseDir);  // reports its own failure
  const int status = ksfpull_run(KsfPaths{});
  ::closelog();
  return status;
}
