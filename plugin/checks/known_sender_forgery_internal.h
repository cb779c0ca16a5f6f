// known_sender_forgery_internal - the steps of the forgery table parser and matcher, for
// the module itself and its tests.
//
// Exports: __ksf_get_domain_ip_sets, __ksf_parse_domain_ips_line, __ksf_parse_ip_set,
// __ksf_parse_ip_or_cidr, __ksf_parse_cidr, __ksf_is_ip_in_ranges,
// __ksf_is_ip_in_cidr_block.
#pragma once

#include <cstdint>
#include <optional>

#include "plugin/checks/known_sender_forgery_funcs.h"

namespace korvex {

// __ksf_get_domain_ip_sets - parse the table text; none when no line parses.
std::optional<ksf_table> __ksf_get_domain_ip_sets(const char* text);

// __ksf_parse_domain_ips_line - parse one "domain: set" line.
std::optional<ksf_domain_ips> __ksf_parse_domain_ips_line(const char* line);

// __ksf_parse_ip_set - parse a comma-separated set, keeping the entries that parse; none
// when none does.
std::optional<ksf_ip_set> __ksf_parse_ip_set(const char* text);

// __ksf_parse_ip_or_cidr - a CIDR block, or a single address as a /32 block.
std::optional<ksf_cidr> __ksf_parse_ip_or_cidr(const char* text);

// __ksf_parse_cidr - "address/prefix" with no host bits set.
std::optional<ksf_cidr> __ksf_parse_cidr(const char* text);

// __ksf_is_ip_in_ranges - true when ip lies in a block of set, or cannot be judged.
bool __ksf_is_ip_in_ranges(const char* ip, const ksf_ip_set& set);

// __ksf_is_ip_in_cidr_block - true when address lies in network/prefix.
bool __ksf_is_ip_in_cidr_block(std::uint32_t address, std::uint32_t network, std::int32_t prefix);

}  // namespace korvex
