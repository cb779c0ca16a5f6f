// tarn_update - the block-list updater: downloads, verifies and installs the TARN maps.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "support/crash_trap.h"
#include "support/program_info.h"
#include "support/string_list.h"
#include "update/report.h"
#include "update/tarn_functions.h"
#include "update/update_paths.h"

namespace {

// A crash leaves its core in the tarn directory, made on the first crash and kept.
void install_crash_handler() {
  korvex::crash_trap_plan plan;
  plan.core_dir = korvex::kTarnCoreDir;
  plan.dir_mode = 0755;
  plan.dir_may_exist = true;
  (void)korvex::install_crash_trap(plan);  // without it only the core directory differs
}

}  // namespace

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "tarn_update", tarn_usage)) {
    return *answered;
  }
  install_crash_handler();
  TarnOptions options;
  if (!handle_arguments(argc, argv, &options)) return EXIT_FAILURE;
  if (!valid_options(options)) {
    report(stdout, "environment not sane..");
    return EXIT_FAILURE;
  }
  ::openlog("korvex", LOG_PID, LOG_MAIL);
  ::umask(022);

  string_list mirrors;
  if (!__read_list_file(options.mirror_file, &mirrors, options.log) || mirrors.empty()) {
    ::syslog(LOG_ERR, "Fatal Error: no valid mirrors found");
    report(stderr, "Fatal Error: no valid mirrors found\n");
    return EXIT_FAILURE;
  }
  string_list lists;
  if (!__read_list_file(options.lists_file, &lists, options.log) || lists.empty()) {
    ::syslog(LOG_ERR, "Fatal Error: no lists to update");
    report(stderr, "Fatal Error: no lists to update");
    return EXIT_FAILURE;
  }
  ::syslog(LOG_INFO, "Updating TARN lists");
  processTarn(options, mirrors, lists);
  ::closelog();
  return EXIT_SUCCESS;
}
