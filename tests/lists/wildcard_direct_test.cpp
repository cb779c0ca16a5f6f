// The direct wildcard matcher against the compiled expression it stands in for.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lists/list_match.h"
#include "support/regex_holder.h"

namespace korvex {
namespace {

constexpr int kRegexFlags = REG_EXTENDED | REG_ICASE | REG_NOSUB;

// Deterministic draws: std::mt19937's sequence is fixed by the standard.
class Draw {
 public:
  explicit Draw(unsigned seed) : engine_(seed) {}
  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_);
  }
  char from(const std::string& alphabet) { return alphabet[below(alphabet.size())]; }

 private:
  std::mt19937 engine_;
};

// Letters of both cases (ASCII and Latin-1, which the C locale does not fold), digits, the
// address punctuation, and the two wildcard characters.
const std::string kEntryAlphabet = std::string("aAbBxX09@-_.*\x80\xC9\xE9\xFF", 18);
// What values are made of: the same plus what an entry never holds.
const std::string kValueAlphabet = std::string("aAbBxX09@-_.*\x80\xC9\xE9\xFF\n\0 ", 21);

std::string random_entry(Draw& draw) {
  std::string entry;
  const std::size_t length = draw.below(9);
  for (std::size_t i = 0; i < length; ++i) {
    // Runs of asterisks and asterisks at either end come up often enough on their own;
    // a rare NUL shows that the entry, too, ends where regcomp stops reading it.
    entry += draw.below(40) == 0 ? '\0' : draw.from(kEntryAlphabet);
  }
  return entry;
}

// A value the entry is likely to match: each asterisk becomes a short run, each dot any
// byte, letters change case; sometimes one byte is changed afterwards.
std::string value_near(const std::string& entry, Draw& draw) {
  std::string value;
  for (const char c : entry) {
    if (c == '*') {
      for (std::size_t n = draw.below(4); n > 0; --n) value += draw.from(kValueAlphabet);
    } else if (c == '.') {
      value += draw.from(kValueAlphabet);
    } else if (c >= 'a' && c <= 'z' && draw.below(2) == 0) {
      value += static_cast<char>(c - 'a' + 'A');
    } else {
      value += c;
    }
  }
  if (!value.empty() && draw.below(4) == 0)
    value[draw.below(value.size())] = draw.from(kValueAlphabet);
  for (std::size_t n = draw.below(3); n > 0; --n) value += draw.from(kValueAlphabet);
  return value;
}

std::string random_value(Draw& draw) {
  std::string value;
  const std::size_t length = draw.below(13);
  for (std::size_t i = 0; i < length; ++i) value += draw.from(kValueAlphabet);
  return value;
}

struct Compiled {
  std::string entry;
  std::unique_ptr<regex_holder> pattern;
};

std::string shown(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  return out;
}

TEST(SimpleWildcard, GivesTheCompiledExpressionsVerdictOnEveryPair) {
  Draw draw(20240611);
  std::vector<Compiled> entries;
  for (const char* fixed : {"*", "**", "*.*", ".", "a*", "*a", "a**b", "*@x.example*", "***@*"}) {
    entries.push_back({fixed, nullptr});
  }
  while (entries.size() < 2000) entries.push_back({random_entry(draw), nullptr});
  for (Compiled& compiled : entries) {
    ASSERT_TRUE(is_simple_wildcard(compiled.entry)) << shown(compiled.entry);
    compiled.pattern =
        std::make_unique<regex_holder>(wildcard_pattern(compiled.entry), kRegexFlags);
    ASSERT_TRUE(compiled.pattern->ok()) << shown(compiled.entry);
  }

  std::vector<std::string> values = {"",
                                     std::string("\0", 1),
                                     std::string("ab\0ab", 5),
                                     "\n",
                                     std::string(300, 'a') + "@x.example",
                                     std::string(200, '\xE9') + "*\n*"};
  while (values.size() < 1500) {
    values.push_back(values.size() % 2 == 0
                         ? random_value(draw)
                         : value_near(entries[draw.below(entries.size())].entry, draw));
  }

  std::size_t pairs = 0;
  std::size_t matched = 0;
  std::size_t disagreements = 0;
  for (const Compiled& compiled : entries) {
    for (const std::string& value : values) {
      const bool expected = compiled.pattern->matches(value);
      const bool direct = simple_wildcard_matches(compiled.entry, value);
      ++pairs;
      if (expected) ++matched;
      if (direct != expected && ++disagreements <= 10) {
        ADD_FAILURE() << "entry \"" << shown(compiled.entry) << "\" value \"" << shown(value)
                      << "\": expression " << expected << ", direct " << direct;
      }
      // Wildcard entries reach the direct matcher through the address rule.
      if (compiled.entry.find('*') != std::string::npos &&
          address_entry_matches(compiled.entry, value) != expected && ++disagreements <= 10) {
        ADD_FAILURE() << "address rule, entry \"" << shown(compiled.entry) << "\" value \""
                      << shown(value) << "\": expression " << expected;
      }
    }
  }
  std::printf("wildcard pairs compared: %zu, matching: %zu\n", pairs, matched);
  EXPECT_EQ(disagreements, 0U);
  // The generated values must exercise both verdicts in earnest.
  EXPECT_GT(matched, pairs / 50);
  EXPECT_LT(matched, pairs / 2);
}

TEST(SimpleWildcard, EntriesWithOtherExpressionCharactersKeepTheirMeaning) {
  for (const char* entry :
       {"*@(a|b).example", "jo+*", "*[xy]@z", "a?b*", "*x{2}", "^*", "*$", "*\\.example", "a\n*"}) {
    EXPECT_FALSE(is_simple_wildcard(entry)) << shown(entry);
  }
  EXPECT_TRUE(address_entry_matches("*@(a|b).example", "joe@b.example"));
  EXPECT_FALSE(address_entry_matches("*@(a|b).example", "joe@c.example"));
  EXPECT_TRUE(address_entry_matches("jo+*@x", "JOOO@x"));
  EXPECT_TRUE(address_entry_matches("*[xy]@z", "y@z"));
  EXPECT_FALSE(address_entry_matches("*[xy]@z", "w@z"));
  EXPECT_TRUE(address_entry_matches("*x{2}", "axx"));
  EXPECT_FALSE(address_entry_matches("*x{2}", "ax"));
  EXPECT_FALSE(address_entry_matches("*\\.example", "aXexample"));
  EXPECT_TRUE(address_entry_matches("*\\.example", "a.example"));
  // Past a NUL regcomp sees nothing, so an expression character there does not count.
  EXPECT_TRUE(is_simple_wildcard(std::string("a*\0(", 4)));
  EXPECT_TRUE(address_entry_matches(std::string("a*\0(", 4), "abc"));
}

}  // namespace
}  // namespace korvex
