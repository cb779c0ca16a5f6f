// pattern_prefilter - literal strings that a POSIX extended expression cannot match without,
// so that a pattern list can pass over expressions that have no chance on a given subject
// instead of compiling every one of them.
//
// The derivation is deliberately conservative: a literal it hands out must occur in every
// subject the expression matches (compiled with REG_EXTENDED | REG_ICASE in the C locale),
// otherwise the list would give a wrong verdict. Whatever it does not fully understand gives
// no filter at all.
//
// Exports: pattern_literals, ascii_lowered.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// pattern_literals - one lower-case literal per top-level alternative of pattern (duplicates
// left out), at least one of which occurs in any subject the pattern matches; nullopt when
// no such set can be given with certainty.
std::optional<std::vector<std::string>> pattern_literals(std::string_view pattern);

// ascii_lowered - text with ASCII capitals folded, the folding REG_ICASE applies in the C
// locale; other bytes stay as they are.
std::string ascii_lowered(std::string_view text);

}  // namespace korvex
