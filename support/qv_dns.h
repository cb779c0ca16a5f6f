// qv_dns - the support library's wrappers around the platform resolver.
//
// Address text conversion for the syntax tests of qv_rfc, a reverse lookup that retries
// temporary failures, a single forward query and the "does this domain receive mail"
// test. Every routine reports through qv_log under the module name "qv_dns" and answers
// with a return code; none stops the program.
//
// Exports: qv_inet_addr.
#pragma once

#include <cstdint>

namespace korvex {

// qv_inet_addr - dotted IPv4 text to an address in network byte order; 0 on failure
// (so 0.0.0.0 cannot be told from a failure, and 255.255.255.255 is refused).
std::uint32_t qv_inet_addr(const char* text);

}  // namespace korvex
