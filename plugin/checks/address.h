// address - the rules that judge the envelope addresses: require_full_addr (the recipient
// is a full address), block_ip_in_addr (neither envelope domain is a bare IPv4 address) and
// valid_from_domain (the sender's domain resolves).
//
// Exports: require_full_addr, block_ip_in_addr, valid_from_domain.
#pragma once

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"

namespace korvex {

// require_full_addr - HIT unless the recipient is local part, at sign and domain.
CheckResult require_full_addr(const CheckContext& context, SessionState state);

// block_ip_in_addr - HIT when the sender's or the recipient's domain is a dotted quad.
CheckResult block_ip_in_addr(const CheckContext& context, SessionState state);

// valid_from_domain - HIT when the sender's domain does not resolve.
CheckResult valid_from_domain(const CheckContext& context, SessionState state);

}  // namespace korvex
