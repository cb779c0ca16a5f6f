// list_match - the entry rules by which a list entry matches a session value.
//
// Address entries (sender and recipient lists) match by equality ignoring letter case, or,
// when they hold an asterisk, as a case-insensitive extended regular expression anchored at
// the start only. IP entries take part when they are dotted-quad IPv4 addresses, matching by
// equality ignoring case, or IPv6 addresses or CIDR ranges of either family, matching the
// peer as an address (2001:DB8:0::25 is 2001:db8::25); wildcards never match there.
//
// A wildcard made only of plain characters, dots and asterisks (nearly every real entry) is
// judged directly, without compiling an expression: the plugin would otherwise compile every
// such entry of every list on each of its runs. The direct verdict is the expression's.
//
// Exports: equal_ignoring_case, wildcard_pattern, is_simple_wildcard,
// simple_wildcard_matches, address_entry_matches, ip_entry_matches, is_ip_entry,
// ip_entry_can_match.
#pragma once

#include <regex.h>

#include <string>
#include <string_view>

namespace korvex {

// equal_ignoring_case - the texts are equal when ASCII letter case is ignored.
bool equal_ignoring_case(std::string_view left, std::string_view right);

// wildcard_pattern - the expression of a wildcard entry: a caret, then the entry with each
// asterisk turned into ".*" and every other character kept.
std::string wildcard_pattern(const std::string& entry);

// is_simple_wildcard - the entry, as far as its first NUL, holds no expression character
// other than dots and asterisks, so simple_wildcard_matches can judge it.
bool is_simple_wildcard(std::string_view entry);

// simple_wildcard_matches - the verdict of wildcard_pattern(entry), compiled extended and
// case-insensitive, on value: anchored at the start only, "." any byte, "*" any run, ASCII
// letters in either case; entry and value end at their first NUL, as regcomp and regexec
// see them. Time grows with the product of the lengths at worst, never exponentially.
bool simple_wildcard_matches(std::string_view entry, std::string_view value);

// address_entry_matches - an address entry's verdict on a sender or recipient.
bool address_entry_matches(const std::string& entry, const std::string& value);

// ip_entry_matches - an IP entry's verdict on a remote address.
bool ip_entry_matches(const std::string& entry, const std::string& value);

// is_ip_entry - the entry can match some peer on an IP list: a dotted quad, an IPv6 address
// or a CIDR range.
bool is_ip_entry(const std::string& entry);

// ip_entry_can_match - whether ip_entry_matches can ever hold for the entry, the peer's
// address arriving as the SMTP daemon writes it (canonical dotted quad or IPv6 text).
bool ip_entry_can_match(const std::string& entry);

}  // namespace korvex
