// installation_check - every check in a fixed order: the plugin's control and data files,
// the rejection cache, what the plugin writes, then the updaters' files.
#include "check/installation_check.h"

namespace korvex {

void check_installation(check_report* report) {
  check_control_flags(report);
  check_rule_overrides(report);
  check_tarn_maps(report);
  check_pattern_lists(report);
  check_ip_lists(report);
  check_rejections(report);
  check_smtpd_access(report);
  check_updater_files(report);
}

}  // namespace korvex
