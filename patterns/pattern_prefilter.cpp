// pattern_prefilter - mandatory literals of POSIX extended expressions.
//
// The parser knows a small part of the extended syntax well and refuses the rest: plain
// characters, escaped punctuation, quantifiers after a character, and bracket expressions,
// groups and other escaped characters that it steps over without looking inside. A run of characters that every
// match must contain ends at anything else. Back-references, word and buffer anchors,
// collating and class elements and stray operators make it give up on the whole pattern.
//
// Exports: pattern_literals, ascii_lowered.

#include "patterns/pattern_prefilter.h"

#include <algorithm>
#include <cstring>

namespace korvex {
namespace {

// What a backslash makes of the character after it in glibc's extended syntax.
enum class escape_kind {
  literal,   // punctuation standing for itself
  opaque,    // one character the parser does not name (\d is a "d"); it only ends a run
  operator_  // word and buffer anchors, classes and back-references: give up
};

escape_kind escaped(char c) {
  if (c == '\0' || std::strchr("bBwWsS`'<>0123456789", c) != nullptr) return escape_kind::operator_;
  if (std::strchr(".[]()*+?{}|^$\\/-_,:;=@%!~&#\"", c) != nullptr) return escape_kind::literal;
  return escape_kind::opaque;
}

// Characters that are themselves in an expression, outside brackets, in any position.
bool plain_literal(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x80) return false;  // left to the matcher: no need to reason about them
  return (std::isalnum(byte) != 0) || std::strchr("-_/:=,;@%!~&#\"<>' `", c) != nullptr;
}

bool is_quantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

char folded(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

class literal_parser {
 public:
  explicit literal_parser(std::string_view pattern) : pattern_(pattern) {}

  std::optional<std::vector<std::string>> literals() {
    std::vector<std::string_view> alternatives;
    if (!split_alternatives(&alternatives)) return std::nullopt;
    std::vector<std::string> found;
    for (const std::string_view alternative : alternatives) {
      std::string run;
      if (!longest_run(alternative, &run) || run.empty()) return std::nullopt;
      if (std::find(found.begin(), found.end(), run) == found.end()) found.push_back(run);
    }
    return found;
  }

 private:
  // The top-level alternatives, or false when the nesting cannot be followed.
  bool split_alternatives(std::vector<std::string_view>* alternatives) const {
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t at = 0; at < pattern_.size();) {
      const char c = pattern_[at];
      if (c == '\\') {
        if (at + 1 >= pattern_.size() || escaped(pattern_[at + 1]) == escape_kind::operator_) {
          return false;
        }
        at += 2;
      } else if (c == '[') {
        if (!skip_bracket(pattern_, &at)) return false;
      } else {
        if (c == '(') ++depth;
        if (c == ')' && --depth < 0) return false;  // an unmatched ")" is a character
        if (c == '|' && depth == 0) {
          alternatives->push_back(pattern_.substr(start, at - start));
          start = at + 1;
        }
        ++at;
      }
    }
    if (depth != 0) return false;
    alternatives->push_back(pattern_.substr(start));
    return true;
  }

  // Step over a bracket expression starting at *at; false for class, equivalence and
  // collating elements and for a bracket that never closes.
  static bool skip_bracket(std::string_view text, std::size_t* at) {
    std::size_t i = *at + 1;
    if (i < text.size() && text[i] == '^') ++i;
    if (i < text.size() && text[i] == ']') ++i;  // a leading "]" is a member
    for (; i < text.size(); ++i) {
      if (text[i] == ']') {
        *at = i + 1;
        return true;
      }
      if (text[i] == '[' && i + 1 < text.size() && std::strchr(":=.", text[i + 1]) != nullptr) {
        return false;
      }
    }
    return false;
  }

  // Step over a group starting at *at, up to its matching ")".
  static bool skip_group(std::string_view text, std::size_t* at) {
    int depth = 0;
    for (std::size_t i = *at; i < text.size();) {
      const char c = text[i];
      if (c == '\\') {
        if (i + 1 >= text.size() || escaped(text[i + 1]) == escape_kind::operator_) return false;
        i += 2;
      } else if (c == '[') {
        if (!skip_bracket(text, &i)) return false;
      } else {
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) {
          *at = i + 1;
          return true;
        }
        ++i;
      }
    }
    return false;
  }

  // Read the quantifiers following an atom: *mandatory stays true only when each of them
  // asks for at least one occurrence; *repeated tells whether there was any.
  static bool read_quantifiers(std::string_view text, std::size_t* at, bool* mandatory,
                               bool* repeated) {
    *mandatory = true;
    *repeated = false;
    while (*at < text.size() && is_quantifier(text[*at])) {
      *repeated = true;
      const char c = text[(*at)++];
      if (c == '*' || c == '?') *mandatory = false;
      if (c != '{') continue;
      const std::size_t digits = *at;
      while (*at < text.size() && std::isdigit(static_cast<unsigned char>(text[*at])) != 0) ++*at;
      const std::string_view minimum = text.substr(digits, *at - digits);
      if (minimum.empty() || minimum.find_first_not_of('0') == std::string_view::npos) {
        *mandatory = false;
      }
      if (*at < text.size() && text[*at] == ',') {
        ++*at;
        while (*at < text.size() && std::isdigit(static_cast<unsigned char>(text[*at])) != 0) {
          ++*at;
        }
      }
      if (*at >= text.size() || text[*at] != '}') return false;
      ++*at;
    }
    return true;
  }

  // The longest run of characters that every match of the alternative contains.
  static bool longest_run(std::string_view alternative, std::string* best) {
    std::string run;
    const auto end_run = [&] {
      if (run.size() > best->size()) *best = run;
      run.clear();
    };
    bool mandatory = true;
    bool repeated = false;
    for (std::size_t at = 0; at < alternative.size();) {
      const char c = alternative[at];
      char literal = '\0';
      if (c == '(' || c == '[' || c == '.') {
        end_run();
        if (c == '(' && !skip_group(alternative, &at)) return false;
        if (c == '[' && !skip_bracket(alternative, &at)) return false;
        if (c == '.') ++at;
        if (!read_quantifiers(alternative, &at, &mandatory, &repeated)) return false;
        continue;
      }
      if (c == '^' || c == '$') {
        end_run();
        if (++at < alternative.size() && is_quantifier(alternative[at])) return false;
        continue;
      }
      if (c == '\\') {
        const escape_kind kind =
            at + 1 < alternative.size() ? escaped(alternative[at + 1]) : escape_kind::operator_;
        if (kind == escape_kind::operator_) return false;
        at += 2;
        if (kind == escape_kind::opaque) {
          end_run();
          if (!read_quantifiers(alternative, &at, &mandatory, &repeated)) return false;
          continue;
        }
        literal = alternative[at - 1];
      } else if (plain_literal(c)) {
        literal = c;
        ++at;
      } else if (is_quantifier(c) || c == '|' || c == ')') {
        return false;  // an operator without its operand
      } else {
        end_run();  // a character this parser leaves to the matcher
        ++at;
        if (!read_quantifiers(alternative, &at, &mandatory, &repeated)) return false;
        continue;
      }
      if (!read_quantifiers(alternative, &at, &mandatory, &repeated)) return false;
      if (!mandatory) {
        end_run();
        continue;
      }
      run.push_back(folded(literal));
      if (repeated) end_run();
    }
    end_run();
    return true;
  }

  std::string_view pattern_;
};

}  // namespace

std::optional<std::vector<std::string>> pattern_literals(std::string_view pattern) {
  return literal_parser(pattern).literals();
}

std::string ascii_lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = folded(c);
  return lowered;
}

}  // namespace korvex
