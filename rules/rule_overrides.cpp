// rule_overrides - reading the control files and applying them to a rule's state. See
// rule_overrides.h.
#include "rules/rule_overrides.h"

#include <syslog.h>

#include "lists/control_files.h"
#include "lists/list_paths.h"

namespace korvex {

rule_overrides read_rule_overrides(const std::string& config_dir) {
  rule_overrides overrides;
  overrides.tarn_lists = read_tarn_list(kTarnEnabledList, config_dir).value_or(string_list{});
  overrides.rules_enabled = read_rules_enabled(config_dir);
  overrides.rules_disabled = read_rules_disabled(config_dir);
  overrides.rules_report = read_rules_report(config_dir);
  return overrides;
}

RuleState overridden_state(std::string_view name, RuleState state,
                           const string_list& rules_enabled, const string_list& rules_disabled,
                           const string_list& rules_report, log_function logger) {
  const std::string shown(name);
  if (state == RuleState::Disabled) {
    // One message per matching line, as the administrator wrote them.
    for (const std::string& line : rules_enabled) {
      if (line != name) continue;
      if (logger != nullptr) logger(LOG_DEBUG, "ENABLING [%s]", shown.c_str());
      state = RuleState::Enabled;
    }
  }
  // Naming a rule for report mode is enough to run it, default-disabled or not.
  for (const std::string& line : rules_report) {
    if (line != name) continue;
    if (logger != nullptr) logger(LOG_DEBUG, "REPORTING [%s]", shown.c_str());
    state = RuleState::Report;
  }
  if (state == RuleState::Disabled) return state;
  for (const std::string& line : rules_disabled) {
    if (line != name) continue;
    if (logger != nullptr) logger(LOG_DEBUG, "DISABLING [%s]", shown.c_str());
    state = RuleState::Disabled;
  }
  return state;
}

std::vector<RuleState> configured_rule_states(const rule_overrides& overrides,
                                              log_function logger) {
  std::vector<RuleState> states;
  states.reserve(kRuleRegistry.size());
  for (const rule_descriptor& rule : kRuleRegistry) {
    states.push_back(overridden_state(rule.name, rule.default_state, overrides.rules_enabled,
                                      overrides.rules_disabled, overrides.rules_report, logger));
  }
  return states;
}

}  // namespace korvex
