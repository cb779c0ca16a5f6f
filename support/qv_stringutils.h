// qv_stringutils - growing strings and clean-up of texts read from files and the network:
// appending text, characters and numbers, case conversion, trimming, cutting at the first
// line end, white-space simplification and removal, and search-and-replace.
//
// A "string slot" is an optional text owned by the caller: an empty optional means there is
// no string yet, which some routines accept and others refuse as an invalid argument.
//
// Exports: string_slot, qv_strcat, qv_ccat, qv_ltoa, qv_icat, qv_lower, qv_upper, qv_trim,
// qv_chomp, qv_simplify_whitespace, qv_strip_whitespace, qv_str_replace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvex {

using string_slot = std::optional<std::string>;

// qv_strcat - append text to the slot's string (an empty slot starts a new one).
bool qv_strcat(string_slot* slot, const char* text);

// qv_ccat - append one character; 0 for NUL or a missing slot.
int qv_ccat(string_slot* slot, char character);

// qv_ltoa - replace the slot's string with the decimal text of number.
bool qv_ltoa(string_slot* slot, std::int32_t number);

// qv_icat - append the decimal text of number.
int qv_icat(string_slot* slot, std::int32_t number);

// qv_lower - turn upper-case letters into lower case in place.
void qv_lower(std::string* text);

// qv_upper - turn lower-case letters into upper case in place.
void qv_upper(std::string* text);

// qv_trim - drop leading white space and every trailing byte that is not printable ASCII.
void qv_trim(string_slot* slot);

// qv_chomp - end the string before its first carriage return or line feed.
void qv_chomp(string_slot* slot);

// qv_simplify_whitespace - trim, then collapse each run of white space into one blank.
void qv_simplify_whitespace(string_slot* slot);

// qv_strip_whitespace - trim, then remove every white-space character.
void qv_strip_whitespace(string_slot* slot);

// qv_str_replace - replace every occurrence of pattern, left to right, without rescanning
// inserted text. 1 when the call was valid, 0 for invalid arguments.
int qv_str_replace(string_slot* slot, const char* pattern, const char* replacement);

}  // namespace korvex
