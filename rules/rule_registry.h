// rule_registry - the one list of the plugin's rules, in checking order: each rule's name,
// whether it runs by default, whether it also runs for a mail user agent, the reason a hit
// reports, and whether a bounce passes it by. A rule's check routine carries the rule's own
// name, so the plugin binds each row to its routine from this same list; the list manager,
// the rejection-message tool and korvex-check read names and reasons from here. A rule is
// added, renamed or renumbered in this one place.
//
// Exports: KORVEX_RULES, RuleState, rule_descriptor, kRuleRegistry, rule_reason.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korvex {

// On/off state of a rule. AlwaysOn is a display name only and behaves like Enabled. A
// Report rule runs, but its hits are only reported: they never refuse or defer.
enum class RuleState : std::uint8_t { Disabled = 0, Enabled = 1, AlwaysOn = 2, Report = 3 };

// The rules as X(name, default state, applies to MUA, reason, skips bounces), in checking
// order. A bounce (empty MAIL FROM) names no sender domain to judge, so valid_from_domain
// passes it by.
#define KORVEX_RULES(X)                                         \
  X(block_lists, Enabled, false, 44, false)                     \
  X(block_ip_in_addr, Enabled, true, 19, false)                 \
  X(check_ip_reverse_dns, Enabled, false, 25, false)            \
  X(check_dynamic_reverse_dns, Enabled, false, 42, false)       \
  X(check_reverse_dns_list, Enabled, false, 43, false)          \
  X(resolve_helo_domain, Disabled, false, 23, false)            \
  X(require_full_addr, Enabled, true, 17, false)                \
  X(require_helo, Enabled, true, 21, false)                     \
  X(valid_from_domain, Disabled, false, 2, true)                \
  X(valid_helo_domain, Enabled, false, 22, false)               \
  X(known_sender_forgery, Disabled, true, 46, false)

struct rule_descriptor {
  std::string_view name;
  RuleState default_state;
  bool applies_to_mua;
  std::int32_t reason;
  bool skips_bounces;
};

#define KORVEX_DESCRIBE_RULE(name, state, mua, reason, skips) \
  rule_descriptor{#name, RuleState::state, mua, reason, skips},
inline constexpr std::array kRuleRegistry{KORVEX_RULES(KORVEX_DESCRIBE_RULE)};
#undef KORVEX_DESCRIBE_RULE

// rule_reason - the reason of the rule named exactly (case-sensitively) name, or 0 when no
// rule has that name.
constexpr std::int32_t rule_reason(std::string_view name) {
  for (const rule_descriptor& rule : kRuleRegistry) {
    if (rule.name == name) return rule.reason;
  }
  return 0;
}

}  // namespace korvex
