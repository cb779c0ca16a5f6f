// qv_rfc_internal - the parsing steps behind qv_rfc822_email_address, for qv_rfc and its
// tests. Positions are byte offsets into the text being parsed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace korvex {

// __qv_parse_quotes - skip the quoted phrase opening at position at; the position after
// the closing quote, or nothing when the phrase is broken or ends the text.
std::optional<std::size_t> __qv_parse_quotes(const std::string& text, std::size_t at);

// __qv_parse_comment - cut the comment opening at position at (nested comments included)
// out of text; resume receives the position where it began. False when it never closes.
bool __qv_parse_comment(std::string* text, std::size_t at, std::size_t* resume);

// __qv_parse_rfc_address - check the angle-bracket address opening at position at; after
// receives the position behind its ">". Empty brackets pass as a bounce.
bool __qv_parse_rfc_address(const std::string& text, std::size_t at, std::size_t* after);

}  // namespace korvex
