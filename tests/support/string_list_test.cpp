#include "support/string_list.h"

#include <gtest/gtest.h>

namespace korvex {
namespace {

TEST(StringList, OrderedInsertKeepsDuplicatesAndByteOrder) {
  string_list list;
  for (const char* text : {"b", "a", "c", "a", "B"}) {
    ASSERT_EQ(string_list_insert(&list, text, kStringListOrdered), 0);
  }
  EXPECT_EQ(list, (string_list{"B", "a", "a", "b", "c"}));
}

TEST(StringList, AppendKeepsArrivalOrder) {
  string_list list;
  for (const char* text : {"b", "a", "c", "a"}) ASSERT_EQ(string_list_append(&list, text), 0);
  EXPECT_EQ(list, (string_list{"b", "a", "c", "a"}));
}

TEST(StringList, OrderedInsertOnAnUnsortedListGoesBeforeTheFirstTextNotSmaller) {
  string_list list{"m", "c", "z"};
  ASSERT_EQ(string_list_insert(&list, "d", kStringListOrdered), 0);
  EXPECT_EQ(list, (string_list{"d", "m", "c", "z"}));
  ASSERT_EQ(string_list_insert(&list, "zz", kStringListOrdered), 0);
  EXPECT_EQ(list, (string_list{"d", "m", "c", "z", "zz"}));
}

TEST(StringList, MissingListAndReleasing) {
  EXPECT_EQ(string_list_insert(nullptr, "a", kStringListOrdered), -1);
  EXPECT_EQ(string_list_append(nullptr, "a"), -1);
  string_list list{"a", "b", "c"};
  string_list_free_nodes(&list, 1);
  EXPECT_EQ(list, (string_list{"a"}));
  string_list_release(&list);
  EXPECT_TRUE(list.empty());
  list = {"x"};
  string_list_destroy(&list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace korvex
