// smtp_auth - the accounts korvex-smtpd accepts and the AUTH PLAIN exchange.
//
// Accounts come from a credentials file of "user:password" lines (the password is all
// after the first colon; blank lines and "#" lines are skipped). AUTH PLAIN carries
// "authorization-id NUL user NUL password" in base64; an authorization id, when given,
// must name the user itself.
//
// Exports: credentials, load_credentials, parse_credentials, decode_base64,
// check_auth_plain.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

using credentials = std::map<std::string, std::string, std::less<>>;  // user -> password

// parse_credentials - read the text of a credentials file; false with *error naming the
// line when a line has no colon, an empty user name or repeats a user.
bool parse_credentials(std::string_view text, credentials* accounts, std::string* error);

// load_credentials - read and parse the file at path; errors name the file.
bool load_credentials(const std::string& path, credentials* accounts, std::string* error);

// decode_base64 - the bytes of a base64 text (padding required, no white space); absent
// when the text is not base64.
std::optional<std::string> decode_base64(std::string_view text);

enum class auth_check { accepted, rejected, malformed };

// check_auth_plain - decode an AUTH PLAIN response and check it against the accounts;
// *user receives the user name when accepted.
auth_check check_auth_plain(std::string_view response, const credentials& accounts,
                            std::string* user);

}  // namespace korvex
