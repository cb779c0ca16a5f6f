// qv_rfc - syntax of IPv4 addresses, domain names and e-mail addresses, and parsing of
// address headers in the RFC 822 style (quoted phrases, comments, angle-bracket addresses,
// comma-separated address lists).
//
// Every test runs in the C locale and answers with a plain verdict; bad arguments are
// reported as error lines, and each reason for a rejection as a debug line, through qv_log
// under the module name "qv_rfc".
//
// Exports: qv_is_ip, qv_valid_domain, qv_valid_email_address, qv_rfc822_email_address,
// qv_split_addresses.
#pragma once

#include "support/qv_list.h"

namespace korvex {

// qv_is_ip - text is a dotted-quad IPv4 address (0.0.0.0 and 255.255.255.255 are not).
bool qv_is_ip(const char* text);

// qv_valid_domain - text is a plausible domain name: letters, digits, "-" and ".", at
// least one inner dot, no empty label, and not an IP address.
bool qv_valid_domain(const char* text);

// qv_valid_email_address - text is local-part@domain with an allowed local part and a
// valid domain of at most 254 characters.
bool qv_valid_email_address(const char* text);

// qv_rfc822_email_address - text is an acceptable address header value: a plain address,
// or an address in angle brackets with an optional display name and comments. An empty
// value (a bounce) is acceptable. 1 or 0; bracketed (if given) is set to 1 when the address
// stood in angle brackets.
int qv_rfc822_email_address(const char* text, int* bracketed);

// qv_split_addresses - the addresses of a header value, split at commas outside quoted
// phrases and comments, each with its white space simplified, as NUL-terminated texts the
// list owns. Empty pieces are left out; an empty list when there is nothing to split.
qv_list qv_split_addresses(const char* text);

}  // namespace korvex
