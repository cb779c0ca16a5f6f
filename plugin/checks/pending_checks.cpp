// pending_checks - interim check routines: every rule answers DUNNO (no opinion) until its
// real check routine takes its place in this folder. Keeping them here lets the engine,
// the rule table and the program run end to end meanwhile.
#include "plugin/checks/checks.h"

namespace korvex {

// The routines share the by-value signature of the real checks, which work on their own
// copy of the session; these interim ones do not look at it.
// NOLINTBEGIN(performance-unnecessary-value-param)
CheckResult block_lists(SessionState, const string_list&, string_list*) { return DUNNO; }
CheckResult block_ip_in_addr(SessionState) { return DUNNO; }
CheckResult check_ip_reverse_dns(SessionState) { return DUNNO; }
CheckResult check_dynamic_reverse_dns(SessionState) { return DUNNO; }
CheckResult check_reverse_dns_list(SessionState) { return DUNNO; }
CheckResult resolve_helo_domain(SessionState) { return DUNNO; }
CheckResult require_full_addr(SessionState) { return DUNNO; }
CheckResult require_helo(SessionState) { return DUNNO; }
CheckResult valid_from_domain(SessionState) { return DUNNO; }
CheckResult valid_helo_domain(SessionState) { return DUNNO; }
// NOLINTEND(performance-unnecessary-value-param)

}  // namespace korvex
