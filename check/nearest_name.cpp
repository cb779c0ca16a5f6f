// nearest_name - optimal string alignment distance over three rows. See nearest_name.h.
#include "check/nearest_name.h"

#include <algorithm>

namespace korvex {
namespace {

std::string lowered(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::size_t edit_distance(std::string_view from, std::string_view to) {
  // Rows i-2, i-1 and i of the distance table of from's first i characters against every
  // prefix of to.
  std::vector<std::size_t> before(to.size() + 1);
  std::vector<std::size_t> previous(to.size() + 1);
  std::vector<std::size_t> current(to.size() + 1);
  for (std::size_t j = 0; j <= to.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= from.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= to.size(); ++j) {
      const std::size_t substitution = from[i - 1] == to[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + substitution});
      if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1]) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    before.swap(previous);
    previous.swap(current);
  }
  return previous[to.size()];
}

std::optional<std::string> nearest_name(std::string_view text,
                                        const std::vector<std::string>& names) {
  const std::string lower = lowered(text);
  std::optional<std::string> nearest;
  std::size_t best = 0;
  for (const std::string& name : names) {
    const std::size_t distance = edit_distance(lower, lowered(name));
    if (distance * 3 > text.size()) continue;
    if (!nearest || distance < best) {
      nearest = name;
      best = distance;
    }
  }
  return nearest;
}

}  // namespace korvex
