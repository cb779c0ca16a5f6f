// installation_check - korvex-check's checks of a whole installation: each reads one part
// of it the way the program that uses that part reads it, and adds a line to the report for
// every problem that would make that program lose or ignore something without a word.
//
// Exports: check_control_flags, check_rule_overrides, check_tarn_maps, check_pattern_lists,
// check_ip_lists, check_rejections, check_smtpd_access, check_updater_files,
// check_installation.
#pragma once

#include "check/check_report.h"

namespace korvex {

// check_control_flags - debug, dump_core and defer_on_tempfail say something the plugin
// reads as off.
void check_control_flags(check_report* report);

// check_rule_overrides - rules.enabled, rules.disabled and rules.report name rules that do
// not exist.
void check_rule_overrides(check_report* report);

// check_tarn_maps - TARN lists in tarn.enabled without a readable, well-formed map.
void check_tarn_maps(check_report* report);

// check_pattern_lists - pattern lists of enabled rules missing, or with no index that fits.
void check_pattern_lists(check_report* report);

// check_ip_lists - entries of exempt_ips and blocked_ips that can never match.
void check_ip_lists(check_report* report);

// check_rejections - the cache's key file, and custom texts that are not in the cache.
void check_rejections(check_report* report);

// check_smtpd_access - the SMTP daemon's user exists and may write the activity file, the
// month's counter file, the core directory and the pattern-index cache.
void check_smtpd_access(check_report* report);

// check_updater_files - the updaters' mirror and list files and the administrator's address.
void check_updater_files(check_report* report);

// check_installation - every check above, in this order.
void check_installation(check_report* report);

}  // namespace korvex
