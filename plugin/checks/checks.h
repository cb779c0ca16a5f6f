// checks - the check routines named by the rule table, one per rule. Each takes the engine's
// check context and the run's session by value; the block-list routine also gets the
// enabled TARN lists and fills the names of the lists that hold the peer. The routines
// live in one source per check family; this header gathers them for the rule table.
//
// Exports: block_lists (tarn_map.h); check_ip_reverse_dns, check_dynamic_reverse_dns,
// check_reverse_dns_list (reverse_dns.h); require_helo, valid_helo_domain,
// resolve_helo_domain (helo.h); require_full_addr, block_ip_in_addr, valid_from_domain
// (address.h); known_sender_forgery (known_sender_forgery_funcs.h).
#pragma once

#include "plugin/checks/address.h"
#include "plugin/checks/helo.h"
#include "plugin/checks/known_sender_forgery_funcs.h"
#include "plugin/checks/reverse_dns.h"
#include "plugin/checks/block_lists.h"
#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"

