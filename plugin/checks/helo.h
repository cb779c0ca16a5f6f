// helo - the rules that judge the name a client gives in HELO or EHLO: require_helo (one
// was given), valid_helo_domain (it is shaped like a host name, not localhost, not an
// address) and resolve_helo_domain (it resolves), and the forward-resolution test that the
// sender-domain rule shares.
//
// Exports: isUnresolvableDomain, require_helo, valid_helo_domain, resolve_helo_domain.
#pragma once

#include <string>

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"

namespace korvex {

// isUnresolvableDomain - 1 when neither an A nor an MX query for name is answered, for
// whatever reason; 0 when one is, and 0 without a query for a dotted quad.
int isUnresolvableDomain(const CheckContext& context, const std::string& name);

// require_helo - HIT when the client gave no HELO at all.
CheckResult require_helo(const CheckContext& context, SessionState state);

// valid_helo_domain - HIT when the HELO is empty, localhost, malformed or an address.
CheckResult valid_helo_domain(const CheckContext& context, SessionState state);

// resolve_helo_domain - HIT when the HELO name does not resolve.
CheckResult resolve_helo_domain(const CheckContext& context, SessionState state);

}  // namespace korvex
