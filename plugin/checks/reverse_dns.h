// reverse_dns - the rules that judge a peer by the name its address resolves back to:
// check_ip_reverse_dns (no name at all), check_dynamic_reverse_dns (a dynamic-line name,
// or no name) and check_reverse_dns_list (a name on the abusive-host pattern list), with
// the reverse lookup they share, the pattern-list matcher and the dynamic-host test.
//
// Pattern lists hold one POSIX extended expression per line, matched case-insensitively
// anywhere in the subject; empty lines and lines whose first non-blank is "#" are skipped.
//
// Exports: default_dslregex, the reverse lookup codes, isDottedQuad, lookupReverseDNS,
// lookupReverseDns, checkRegexList, checkDSLRegexList, isDSL, check_ip_reverse_dns,
// check_dynamic_reverse_dns, check_reverse_dns_list.
#pragma once

#include <optional>
#include <string>

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"
#include "support/qv_log.h"

namespace korvex {

// Built-in dynamic-host pattern, used when the dynamic-host list cannot decide.
extern const char default_dslregex[];

// Results of the reverse lookups.
inline constexpr unsigned kReverseNameFound = 0;
inline constexpr unsigned kReverseNoName = 1;
inline constexpr unsigned kReverseLookupFailed = 2;
inline constexpr unsigned kReverseBadArgument = 666;

// isDottedQuad - 1 for text with exactly three dots that inet_aton accepts, 0 otherwise,
// -1 for no text.
int isDottedQuad(const std::optional<std::string>& text);

// lookupReverseDNS - ask the resolver for the name of ip, retrying while it says "try
// again". On a found name or no name, *name receives the name (empty for no name). A failure
// because the resolver still said "try again" (a server failure, a time-out) also sets
// *try_again when it is given.
unsigned lookupReverseDNS(const CheckContext& context, std::string* name,
                          const std::optional<std::string>& ip, bool* try_again = nullptr);

// lookupReverseDns - the peer's name: TCPREMOTEHOST when set, otherwise a live lookup
// (which sets *try_again as lookupReverseDNS does).
unsigned lookupReverseDns(const CheckContext& context, std::string* name,
                          const std::optional<std::string>& ip, bool* try_again = nullptr);

// checkRegexList - 1 when a pattern of the list at path matches subject, 0 when none does,
// -1 when the file cannot be opened or a pattern failed to compile and none matched. An index
// that no longer fits the list is rebuilt in the context's pattern-index cache.
int checkRegexList(const CheckContext& context, const std::string& path, const std::string& subject,
                   log_function logger);

// checkDSLRegexList - checkRegexList on the configured dynamic-host list.
int checkDSLRegexList(const CheckContext& context, const std::string& subject);

// isDSL - 1 when host looks like a dynamically addressed line, else 0.
int isDSL(const CheckContext& context, const std::optional<std::string>& host);

// check_ip_reverse_dns - HIT when the peer's address has no name.
CheckResult check_ip_reverse_dns(const CheckContext& context, SessionState state);

// check_dynamic_reverse_dns - HIT when the peer's name is missing or looks dynamic.
CheckResult check_dynamic_reverse_dns(const CheckContext& context, SessionState state);

// check_reverse_dns_list - HIT when the peer's name is on the abusive-host list.
CheckResult check_reverse_dns_list(const CheckContext& context, SessionState state);

}  // namespace korvex
