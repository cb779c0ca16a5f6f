// checks - the check routines named by the rule table, one per rule. Each takes the run's
// session by value and reads the check configuration; the block-list routine also gets the
// enabled TARN lists and fills the names of the lists that hold the peer.
//
// Exports: block_lists, block_ip_in_addr, check_ip_reverse_dns, check_dynamic_reverse_dns,
// check_reverse_dns_list, resolve_helo_domain, require_full_addr, require_helo,
// valid_from_domain, valid_helo_domain, known_sender_forgery.
#pragma once

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"
#include "support/string_list.h"

namespace korvex {

// block_lists - HIT when an enabled TARN list holds the peer; hits receives those lists.
CheckResult block_lists(SessionState state, const string_list& tarn_lists, string_list* hits);

// block_ip_in_addr - HIT when the sender or recipient uses an IP address for a domain.
CheckResult block_ip_in_addr(SessionState state);

// check_ip_reverse_dns - HIT when the peer's address has no host name.
CheckResult check_ip_reverse_dns(SessionState state);

// check_dynamic_reverse_dns - HIT when the peer's host name looks dynamically assigned.
CheckResult check_dynamic_reverse_dns(SessionState state);

// check_reverse_dns_list - HIT when the peer's host name matches an abused-host pattern.
CheckResult check_reverse_dns_list(SessionState state);

// resolve_helo_domain - HIT when the HELO name does not resolve.
CheckResult resolve_helo_domain(SessionState state);

// require_full_addr - HIT when the recipient is not a complete address.
CheckResult require_full_addr(SessionState state);

// require_helo - HIT when the peer gave no HELO.
CheckResult require_helo(SessionState state);

// valid_from_domain - HIT when the sender's domain does not resolve.
CheckResult valid_from_domain(SessionState state);

// valid_helo_domain - HIT when the HELO name is not a plausible domain.
CheckResult valid_helo_domain(SessionState state);

// known_sender_forgery - HIT when the sender's domain may not send from the peer's address.
CheckResult known_sender_forgery(SessionState state);

}  // namespace korvex
