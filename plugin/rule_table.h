// rule_table - the plugin's ordered, built-in table of rules and the engine context built
// around it: the administrator's on/off overrides, the enabled TARN lists, the check
// context handed to every check routine, the rule-set display and the full-address test.
//
// Exports: rule_state_name, CheckResult, check_result_name, the check routine types,
// RuleEntry, builtin_rules, EngineContext, default_check_context, korvex_init,
// apply_overrides, apply_rule_overrides, korvex_teardown, show_rule_set, find_char,
// is_full_address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "plugin/checks/check_context.h"
#include "plugin/load_spp_env.h"
#include "plugin/reasons.h"
#include "rules/rule_registry.h"
#include "support/qv_log.h"
#include "support/string_list.h"

namespace korvex {

// rule_state_name - "Disabled", "Enabled", "AlwaysOn", "Report".
const char* rule_state_name(RuleState state);

// What a check routine says. Only HIT refuses; any value but these three counts as DUNNO.
enum CheckResult : std::int32_t { DUNNO = 0, HIT = 1, TEMPFAIL = 2 };

// check_result_name - "DUNNO", "HIT", "TEMPFAIL", or "<UNKNOWN>" for any other value.
const char* check_result_name(std::int32_t result);

// A plain rule's check: the engine's check context and the session, by value.
using plain_rule_check = CheckResult (*)(const CheckContext& context, SessionState state);
// The block-list rule's check: the check context, the session, the enabled TARN lists and an
// empty list that receives, on a hit, the names of the lists that hold the peer.
using block_list_check = CheckResult (*)(const CheckContext& context, SessionState state,
                                         const string_list& tarn_lists, string_list* hits);
using rule_check = std::variant<plain_rule_check, block_list_check>;

// One row of the rule table: a registered rule bound to its check routine.
struct RuleEntry {
  std::string name;
  RuleState state = RuleState::Disabled;
  std::uint8_t applies_to_mua = 0;
  ReasonId reason = 0;
  rule_check check;
  bool skips_bounces = false;

  // kind - 5 for the block-list rule, which receives the enabled TARN lists; 1 for the others.
  std::int32_t kind() const { return std::holds_alternative<block_list_check>(check) ? 5 : 1; }
};

using RuleTable = std::vector<RuleEntry>;

// builtin_rules - the built-in rule table, in checking order.
const RuleTable& builtin_rules();

// The rule tables, enabled TARN lists, log sink and check context of one process. A table
// that could not be made is absent and is never run or shown.
struct EngineContext {
  std::optional<RuleTable> default_rules;
  std::optional<RuleTable> enabled_rules;
  string_list tarn_lists;
  log_function logger = nullptr;
  CheckContext checks;
};

// default_check_context - the installed data-file paths, the system's resolver and syslog.
CheckContext default_check_context();

// korvex_init - set up the check context with the installed paths, copy the rule table and
// apply the overrides and TARN lists from the control files of the configuration directory
// (normally /etc/korvex, whose "control" directory holds them).
EngineContext korvex_init(log_function logger, const std::string& config_dir);

// apply_overrides - load tarn.enabled into tarn_lists, apply rules.enabled, rules.report and
// rules.disabled of the configuration directory to enabled_rules, and read the
// defer_on_tempfail flag into the check context.
void apply_overrides(EngineContext* context, const std::string& config_dir);

// apply_rule_overrides - switch rows on from rules_enabled (Disabled rows only), to report
// mode from rules_report (whatever their state), then off from rules_disabled; names compare
// exactly.
void apply_rule_overrides(RuleTable* rules, const string_list& rules_enabled,
                          const string_list& rules_disabled, log_function logger,
                          const string_list& rules_report = {});

// korvex_teardown - release the tables and TARN lists and forget the log sink.
void korvex_teardown(EngineContext* context);

// A writer of one display line, given without line end.
using line_writer = void (*)(const char* line, void* writer_arg);

// show_rule_set - the "-s" display of the rule set and the enabled TARN lists.
void show_rule_set(const EngineContext& context, line_writer writer, void* writer_arg);

// find_char - index of the first c in text, or -1 (also for an absent or empty text).
int find_char(const char* text, char c);

// is_full_address - true when text has an at sign that is neither its first nor last character.
bool is_full_address(const char* text);

}  // namespace korvex
