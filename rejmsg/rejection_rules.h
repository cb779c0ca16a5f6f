// rejection_rules - the rules whose rejection text an administrator may replace, with the
// ReasonId that keys each rule's cached message. Names and ReasonIds are those of the
// plugin's rule table, in its checking order.
//
// Exports: rejection_rule, rejection_rules, rejection_rule_reason.
#pragma once

#include <array>
#include <string_view>

namespace korvex {

struct rejection_rule {
  const char* name;
  int reason;
};

// The eleven rules in checking order.
inline constexpr std::array<rejection_rule, 11> rejection_rules{{
    {"block_lists", 44},
    {"block_ip_in_addr", 19},
    {"check_ip_reverse_dns", 25},
    {"check_dynamic_reverse_dns", 42},
    {"check_reverse_dns_list", 43},
    {"resolve_helo_domain", 23},
    {"require_full_addr", 17},
    {"require_helo", 21},
    {"valid_from_domain", 2},
    {"valid_helo_domain", 22},
    {"known_sender_forgery", 46},
}};

// rejection_rule_reason - ReasonId of the first rule named exactly (case-sensitively)
// name, or 0 when no rule has that name.
int rejection_rule_reason(std::string_view name);

}  // namespace korvex
