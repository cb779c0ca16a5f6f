// rule_overrides - the administrator's choice of rules and block lists: the control files
// rules.enabled, rules.report, rules.disabled and tarn.enabled of the configuration directory, and how a
// rule's state follows from them. The plugin applies them to its rule table; the list
// manager reads them the same way when it starts.
//
// Exports: rule_overrides, read_rule_overrides, overridden_state, configured_rule_states.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rules/rule_registry.h"
#include "support/qv_log.h"
#include "support/string_list.h"

namespace korvex {

// The three control files, each sorted; an absent file reads as empty.
struct rule_overrides {
  string_list tarn_lists;
  string_list rules_enabled;
  string_list rules_disabled;
  string_list rules_report;
};

// read_rule_overrides - the control files below config_dir ("control/...").
rule_overrides read_rule_overrides(const std::string& config_dir);

// overridden_state - the state of the rule name once rules_enabled has switched it on (from
// Disabled only), rules_report to report mode (whatever its state) and rules_disabled off;
// names compare exactly, and every matching line is logged at debug level as the
// administrator wrote it.
RuleState overridden_state(std::string_view name, RuleState state,
                           const string_list& rules_enabled, const string_list& rules_disabled,
                           const string_list& rules_report, log_function logger);

// configured_rule_states - the state of every registered rule, in registry order, under the
// overrides.
std::vector<RuleState> configured_rule_states(const rule_overrides& overrides,
                                              log_function logger);

}  // namespace korvex
