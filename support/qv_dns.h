// qv_dns - the support library's wrappers around the platform resolver.
//
// Address text conversion for the syntax tests of qv_rfc, a reverse lookup that retries
// temporary failures, a single forward query and the "does this domain receive mail"
// test. Every routine reports through qv_log under the module name "qv_dns" and answers
// with a return code; none stops the program.
//
// Exports: qv_inet_addr, qv_lookup_reverse_dns, qv_resolv, qv_has_a_or_mx and their
// result codes.
#pragma once

#include <cstdint>
#include <string>

namespace korvex {

// qv_inet_addr - dotted IPv4 text to an address in network byte order; 0 on failure
// (so 0.0.0.0 cannot be told from a failure, and 255.255.255.255 is refused).
std::uint32_t qv_inet_addr(const char* text);

// Results of qv_lookup_reverse_dns.
inline constexpr int kReverseFound = 0;
inline constexpr int kReverseNoName = -1;
inline constexpr int kReverseFailed = 2;
inline constexpr int kReverseBadArgument = -2;

// qv_lookup_reverse_dns - the name of an IPv4 address, asked up to three times while the
// resolver says "try again": kReverseFound with *name replaced, kReverseNoName when the
// address has no name, kReverseFailed when the lookup failed, kReverseBadArgument.
int qv_lookup_reverse_dns(std::string* name, const char* ip);

// Results of qv_resolv.
inline constexpr int kResolvAnswered = 0;
inline constexpr int kResolvUnanswered = 1;
inline constexpr int kResolvInvalid = -2;

// qv_resolv - one query of type (T_A, T_MX, ...) for domain: kResolvAnswered,
// kResolvUnanswered (no record, or resolver trouble), kResolvInvalid for a bad domain.
int qv_resolv(const char* domain, int type);

// qv_has_a_or_mx - domain is valid and has an A record, or failing that an MX record.
bool qv_has_a_or_mx(const char* domain);

}  // namespace korvex
