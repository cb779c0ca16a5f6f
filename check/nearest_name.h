// nearest_name - the known name an unknown one was most likely meant to be, for the
// "did you mean" of a misspelt rule name.
//
// Exports: edit_distance, nearest_name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// edit_distance - insertions, deletions, substitutions and swaps of two neighbouring
// characters that turn one text into the other (optimal string alignment).
std::size_t edit_distance(std::string_view from, std::string_view to);

// nearest_name - the name closest to text, ignoring ASCII letter case, when at most a third
// of text has to change to reach it; the first of equally close names. None otherwise.
std::optional<std::string> nearest_name(std::string_view text,
                                        const std::vector<std::string>& names);

}  // namespace korvex
