#include "plugin/rule_table.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plugin_test_util.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::LoggedLine;
using testing::TempDir;
using testing::write_file;

void collect_line(const char* line, void* lines) {
  static_cast<std::vector<std::string>*>(lines)->push_back(line);
}

std::vector<std::string> display(const EngineContext& context) {
  std::vector<std::string> lines;
  show_rule_set(context, collect_line, &lines);
  return lines;
}

std::vector<std::string> expected_display(const std::string& forgery_current,
                                          const std::vector<std::string>& tarn) {
  const std::string pad24(24, ' ');
  std::vector<std::string> lines = {
      "Current Ruleset (rules are checked in order listed):",
      "",
      "RULE" + pad24 + "DEFAULT    CURRENT    MUA->MTA",
      "====" + pad24 + "=======    =======    ========",
      "block_lists                 Enabled    Enabled    No",
      "block_ip_in_addr            Enabled    Enabled    Yes",
      "check_ip_reverse_dns        Enabled    Enabled    No",
      "check_dynamic_reverse_dns   Enabled    Enabled    No",
      "check_reverse_dns_list      Enabled    Enabled    No",
      "resolve_helo_domain         Disabled   Disabled   No",
      "require_full_addr           Enabled    Enabled    Yes",
      "require_helo                Enabled    Enabled    Yes",
      "valid_from_domain           Disabled   Disabled   No",
      "valid_helo_domain           Enabled    Enabled    No",
      "known_sender_forgery        Disabled   " + forgery_current + "Yes",
      "",
      "Enabled TARN Lists:",
      "==================",
  };
  if (tarn.empty()) lines.push_back("No TARN lists enabled.");
  lines.insert(lines.end(), tarn.begin(), tarn.end());
  return lines;
}

TEST(KorvexInit, WithoutControlFilesShowsDefaultsAndSetsCheckPaths) {
  TempDir control;
  EngineContext context = korvex_init(nullptr, control.path());
  EXPECT_EQ(display(context), expected_display("Disabled   ", {}));
  const CheckContext& checks = context.checks;
  EXPECT_EQ(checks.tarn_map_dir, "/var/cache/tarn");
  EXPECT_EQ(checks.dsl_regex_filename, "/etc/korvex/dynaregex/dyna.regexes");
  EXPECT_EQ(checks.reverse_dns_regex_filename, "/etc/korvex/dynaregex/spam.regexes");
  EXPECT_EQ(checks.ksf_filename, "/etc/korvex/control/valid_domain_ips");
  EXPECT_EQ(checks.ksf_report_only, 0);
  EXPECT_EQ(checks.pattern_index_cache_dir, "/var/cache/korvex");

  korvex_teardown(&context);
  EXPECT_FALSE(context.enabled_rules);
  EXPECT_FALSE(context.default_rules);
  EXPECT_EQ(context.logger, nullptr);
}

TEST(KorvexInit, EnablesRuleAndLoadsSortedTarnLists) {
  TempDir config_dir;
  std::filesystem::create_directory(config_dir.file("control"));
  write_file(config_dir.file("control/rules.enabled"),
             "Known_Sender_Forgery\nknown_sender_forgery\n");
  write_file(config_dir.file("control/tarn.enabled"), "b\na\nb\n");
  LogCapture capture;
  EngineContext context = korvex_init(testing::capture_sink, config_dir.path());
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{{LOG_DEBUG, "ENABLING [known_sender_forgery]"}}));
  EXPECT_EQ(context.tarn_lists, (string_list{"a", "b", "b"}));
  EXPECT_EQ(display(context), expected_display("Enabled    ", {"a", "b", "b"}));
  // The defaults stay as built.
  EXPECT_EQ(context.default_rules->back().state, RuleState::Disabled);
  korvex_teardown(&context);
}

TEST(RuleOverrides, DisablingWinsAndEnabledRulesStayQuiet) {
  RuleTable rules = builtin_rules();
  LogCapture capture;
  apply_rule_overrides(&rules, {"known_sender_forgery", "require_helo", "no_such_rule"},
                       {"known_sender_forgery", "block_lists", "Require_Helo"},
                       testing::capture_sink);
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{
                                 {LOG_DEBUG, "DISABLING [block_lists]"},
                                 {LOG_DEBUG, "ENABLING [known_sender_forgery]"},
                                 {LOG_DEBUG, "DISABLING [known_sender_forgery]"},
                             }));
  std::vector<RuleState> states;
  for (const RuleEntry& rule : rules) states.push_back(rule.state);
  const auto on = RuleState::Enabled;
  const auto off = RuleState::Disabled;
  EXPECT_EQ(states, (std::vector<RuleState>{off, on, on, on, on, off, on, on, off, on, off}));
}

TEST(RuleOverrides, ReportModeRunsDefaultOffRulesAndYieldsToDisabling) {
  RuleTable rules = builtin_rules();
  LogCapture capture;
  apply_rule_overrides(&rules, {"valid_from_domain"}, {"known_sender_forgery"},
                       testing::capture_sink,
                       {"known_sender_forgery", "require_helo", "resolve_helo_domain",
                        "valid_from_domain", "Require_Full_Addr"});
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{
                                 {LOG_DEBUG, "REPORTING [resolve_helo_domain]"},
                                 {LOG_DEBUG, "REPORTING [require_helo]"},
                                 {LOG_DEBUG, "ENABLING [valid_from_domain]"},
                                 {LOG_DEBUG, "REPORTING [valid_from_domain]"},
                                 {LOG_DEBUG, "REPORTING [known_sender_forgery]"},
                                 {LOG_DEBUG, "DISABLING [known_sender_forgery]"},
                             }));
  std::vector<RuleState> states;
  for (const RuleEntry& rule : rules) states.push_back(rule.state);
  const auto on = RuleState::Enabled;
  const auto off = RuleState::Disabled;
  const auto report = RuleState::Report;
  EXPECT_EQ(states,
            (std::vector<RuleState>{on, on, on, on, on, report, on, report, report, on, off}));
  EXPECT_STREQ(rule_state_name(report), "Report");
}

TEST(RuleTable, BuiltinRowsCarryReasonsKindsAndMuaFlags) {
  std::vector<std::string> rows;
  for (const RuleEntry& rule : builtin_rules()) {
    rows.push_back(rule.name + " " + std::to_string(rule.reason) + " " +
                   std::to_string(rule.kind()) + " " + std::to_string(rule.applies_to_mua));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "block_lists 44 5 0", "block_ip_in_addr 19 1 1",
                      "check_ip_reverse_dns 25 1 0", "check_dynamic_reverse_dns 42 1 0",
                      "check_reverse_dns_list 43 1 0", "resolve_helo_domain 23 1 0",
                      "require_full_addr 17 1 1", "require_helo 21 1 1",
                      "valid_from_domain 2 1 0", "valid_helo_domain 22 1 0",
                      "known_sender_forgery 46 1 1"}));
  EXPECT_STREQ(check_result_name(TEMPFAIL), "TEMPFAIL");
  EXPECT_STREQ(check_result_name(3), "<UNKNOWN>");
  EXPECT_STREQ(rule_state_name(RuleState::AlwaysOn), "AlwaysOn");
}

TEST(RuleSetDisplay, MissingTablesShowNoRows) {
  EngineContext context;
  EXPECT_EQ(display(context), (std::vector<std::string>{
                                  "Current Ruleset (rules are checked in order listed):", "",
                                  "RULEDEFAULT    CURRENT    MUA->MTA",
                                  "===========    =======    ========", "",
                                  "Enabled TARN Lists:", "==================",
                                  "No TARN lists enabled."}));
  context.tarn_lists = {std::string(1100, 'x')};
  EXPECT_EQ(display(context).back(), std::string(1023, 'x'));
}

TEST(FullAddress, NeedsTextOnBothSidesOfTheFirstAt) {
  EXPECT_TRUE(is_full_address("a@b"));
  EXPECT_TRUE(is_full_address("a@@"));
  EXPECT_FALSE(is_full_address("@b"));
  EXPECT_FALSE(is_full_address("a@"));
  EXPECT_FALSE(is_full_address("ab"));
  EXPECT_FALSE(is_full_address(""));
  EXPECT_FALSE(is_full_address(nullptr));
  EXPECT_EQ(find_char("abc", 'c'), 2);
  EXPECT_EQ(find_char("abc", 'x'), -1);
  EXPECT_EQ(find_char("", 'x'), -1);
}

}  // namespace
}  // namespace korvex
