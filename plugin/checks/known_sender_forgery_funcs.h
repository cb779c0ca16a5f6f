// known_sender_forgery_funcs - the known-sender-forgery rule: some sender domains send only
// from a few IPv4 and IPv6 networks, listed in the forgery table; mail from such a domain
// arriving from any other address is refused.
//
// The table is a text file of "domain: address-or-CIDR, ..." lines, read and parsed afresh
// on every run of the rule and dropped right after. Anything that keeps a decision from
// being made (no table, an unreadable or empty one, an odd MAIL FROM, an unparseable peer
// address, lack of memory) lets the mail through: only a listed domain seen from an
// address outside all of its networks is a hit. Diagnostics go through qv_log under
// "known_sender_forgery_funcs"; korvex-plesk installs no sink, so there they are dropped.
//
// Exports: ksf_cidr, ksf_ip_set, ksf_domain_ips, ksf_table, known_sender_forgery,
// ksf_check_domain_to_ip_restriction, ksf_parse_mail_from_domain,
// ksf_get_domain_ip_sets_from_file, ksf_set_verbose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"
#include "support/ip_address.h"

namespace korvex {

// One network: IPv4 address in host byte order and prefix length (0 to 32), or, for an
// entry written as IPv6, network 0 and prefix 128 beside the IPv6 range itself.
struct ksf_cidr {
  std::uint32_t network = 0;
  std::int32_t prefix = 0;
  std::optional<ip_range> ipv6;
  bool operator==(const ksf_cidr&) const = default;
};

using ksf_ip_set = std::vector<ksf_cidr>;

// One table line: a lower-case domain and the networks it may send from.
struct ksf_domain_ips {
  std::string domain;
  ksf_ip_set ip_set;
  bool operator==(const ksf_domain_ips&) const = default;
};

// The parsed table, in file order.
using ksf_table = std::vector<ksf_domain_ips>;

// known_sender_forgery - HIT when the sender's domain is listed in the context's forgery
// table and the peer's address lies outside all of its networks (DUNNO instead while the
// context's report-only switch is on).
CheckResult known_sender_forgery(const CheckContext& context, SessionState state);

// ksf_check_domain_to_ip_restriction - 1 when ip may send for domain according to the table
// at path, or when nothing can be decided; 0 when it may not.
int ksf_check_domain_to_ip_restriction(const char* ip, const char* domain, const char* path);

// ksf_parse_mail_from_domain - the lower-case domain of a valid MAIL FROM address, or none.
std::optional<std::string> ksf_parse_mail_from_domain(const char* mail_from);

// ksf_get_domain_ip_sets_from_file - the parsed table at path, or none when it cannot be
// read or no line of it parses.
std::optional<ksf_table> ksf_get_domain_ip_sets_from_file(const char* path);

// ksf_get_domain_ip_sets_from_file - the part of the table at path that speaks for the
// lower-case domain: the first record stored under it, or an empty table when no line is;
// none when the table cannot be read whole or is empty. Only the lines where the domain
// occurs are parsed.
std::optional<ksf_table> ksf_get_domain_ip_sets_from_file(const char* path,
                                                          const std::string& domain);

// ksf_set_verbose - with a non-zero flag, report every dropped table line and entry as an
// error line.
void ksf_set_verbose(int flag);

}  // namespace korvex
