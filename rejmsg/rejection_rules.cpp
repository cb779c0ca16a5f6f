// rejection_rules - lookup of a rule's ReasonId by name. See rejection_rules.h.
#include "rejmsg/rejection_rules.h"

namespace korvex {

int rejection_rule_reason(std::string_view name) {
  for (const rejection_rule& rule : rejection_rules) {
    if (name == rule.name) return rule.reason;
  }
  return 0;
}

}  // namespace korvex
