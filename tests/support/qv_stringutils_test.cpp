#include "support/qv_stringutils.h"

#include <gtest/gtest.h>

#include <climits>

#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::VerboseDebug;

TEST(StringGrowing, StrcatStartsOrExtendsAString) {
  string_slot slot;
  ASSERT_TRUE(qv_strcat(&slot, "abc"));
  EXPECT_EQ(slot, "abc");
  ASSERT_TRUE(qv_strcat(&slot, "def"));
  EXPECT_EQ(slot, "abcdef");
  EXPECT_FALSE(qv_strcat(&slot, nullptr));
  EXPECT_FALSE(qv_strcat(nullptr, "x"));
  EXPECT_EQ(slot, "abcdef");
}

TEST(StringGrowing, CcatRefusesNul) {
  string_slot slot;
  EXPECT_EQ(qv_ccat(&slot, 'x'), 1);
  EXPECT_EQ(qv_ccat(&slot, 'y'), 1);
  EXPECT_EQ(qv_ccat(&slot, '\0'), 0);
  EXPECT_EQ(slot, "xy");
}

TEST(StringGrowing, NumbersAsDecimalText) {
  string_slot slot = std::string("old");
  ASSERT_TRUE(qv_ltoa(&slot, INT32_MIN));
  EXPECT_EQ(slot, "-2147483648");
  ASSERT_TRUE(qv_ltoa(&slot, 0));
  EXPECT_EQ(slot, "0");
  EXPECT_EQ(qv_icat(&slot, 1000), 1);
  EXPECT_EQ(qv_icat(&slot, -5), 1);
  EXPECT_EQ(slot, "01000-5");
}

TEST(StringGrowing, ErrorsAndTraceLines) {
  LogCapture capture;
  VerboseDebug verbose;
  string_slot slot;
  ASSERT_TRUE(qv_strcat(&slot, "ab"));
  ASSERT_TRUE(qv_ltoa(&slot, -12));
  EXPECT_FALSE(qv_strcat(&slot, nullptr));
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 7u);
  const std::vector<std::string> expected_tails = {
      "DEBUG qv_strcat(): destination is NULL - new string",
      "DEBUG qv_strcat(): allocated",
      "DEBUG qv_strcat(): string appended [ab]",
      "DEBUG qv_ltoa(): converting [-12]",
      "DEBUG qv_ltoa(): determined buffer size of 4",
      "DEBUG qv_ltoa(): converted to -12",
      "ERROR qv_strcat(): Invalid argument",
  };
  for (std::size_t i = 0; i < texts.size(); ++i) {
    // Lines read "qv_stringutils:<line> ..."; the line number is ours to choose.
    const std::string& text = texts[i];
    ASSERT_EQ(text.rfind("qv_stringutils:", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find(' ') + 1), expected_tails[i]);
  }
}

TEST(StringCase, LowerAndUpperTouchOnlyLetters) {
  std::string text = "MiXeD-123\xC9";
  qv_lower(&text);
  EXPECT_EQ(text, "mixed-123\xC9");
  qv_upper(&text);
  EXPECT_EQ(text, "MIXED-123\xC9");
}

TEST(StringCleanup, TrimKeepsPrintableCore) {
  string_slot slot = std::string("  ab\t \xE9");
  qv_trim(&slot);
  EXPECT_EQ(slot, "ab");
  slot = std::string(" \t\n ");
  qv_trim(&slot);
  EXPECT_EQ(slot, "");
  slot = std::string(" \x01 ");  // the first non-blank character stays even if unprintable
  qv_trim(&slot);
  EXPECT_EQ(slot, "\x01");
  slot = std::string("a b");
  qv_trim(&slot);
  EXPECT_EQ(slot, "a b");
}

TEST(StringCleanup, ChompCutsAtTheFirstLineEnd) {
  string_slot slot = std::string("first\nsecond\r\n");
  qv_chomp(&slot);
  EXPECT_EQ(slot, "first");
  slot = std::string("a\rb");
  qv_chomp(&slot);
  EXPECT_EQ(slot, "a");
}

TEST(StringCleanup, SimplifyCollapsesRunsOnly) {
  string_slot slot = std::string(" a   b\tc \n");
  qv_simplify_whitespace(&slot);
  EXPECT_EQ(slot, "a b\tc");
  slot = std::string("x \t y");
  qv_simplify_whitespace(&slot);
  EXPECT_EQ(slot, "x y");
}

TEST(StringCleanup, StripRemovesAllWhiteSpace) {
  string_slot slot = std::string(" a b\tc  d ");
  qv_strip_whitespace(&slot);
  EXPECT_EQ(slot, "abcd");
}

TEST(StringCleanup, EmptySlotIsAnErrorEmptyStringIsNot) {
  LogCapture capture;
  string_slot slot;
  qv_trim(&slot);
  qv_chomp(&slot);
  qv_simplify_whitespace(&slot);
  qv_strip_whitespace(&slot);
  EXPECT_EQ(capture.lines().size(), 4u);
  EXPECT_FALSE(slot.has_value());
  capture.clear();
  slot = std::string();
  qv_trim(&slot);
  qv_simplify_whitespace(&slot);
  qv_strip_whitespace(&slot);
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(slot, "");
}

TEST(StringReplace, LeftToRightWithoutOverlapOrRescan) {
  string_slot slot = std::string("aaa");
  EXPECT_EQ(qv_str_replace(&slot, "aa", "b"), 1);
  EXPECT_EQ(slot, "ba");
  slot = std::string("%IP% and %IP%");
  EXPECT_EQ(qv_str_replace(&slot, "%IP%", "x%IP%x"), 1);
  EXPECT_EQ(slot, "x%IP%x and x%IP%x");
  slot = std::string("gone");
  EXPECT_EQ(qv_str_replace(&slot, "gone", ""), 1);
  EXPECT_EQ(slot, "");
}

TEST(StringReplace, NoChangeCasesAndInvalidCalls) {
  string_slot slot = std::string("aaa");
  EXPECT_EQ(qv_str_replace(&slot, "aa", "aa"), 1);
  EXPECT_EQ(qv_str_replace(&slot, "zz", "y"), 1);
  EXPECT_EQ(slot, "aaa");
  EXPECT_EQ(qv_str_replace(&slot, "", "y"), 0);
  EXPECT_EQ(qv_str_replace(&slot, "a", nullptr), 0);
  string_slot empty = std::string();
  EXPECT_EQ(qv_str_replace(&empty, "a", "b"), 0);
  string_slot absent;
  EXPECT_EQ(qv_str_replace(&absent, "a", "b"), 0);
  EXPECT_EQ(slot, "aaa");
}

}  // namespace
}  // namespace korvex
