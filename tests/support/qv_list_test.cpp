#include "support/qv_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::located_lines;
using testing::LogCapture;
using testing::VerboseDebug;
using Lines = std::vector<std::string>;

std::vector<void*>& released() {
  static std::vector<void*> blocks;
  return blocks;
}

void record_release(void* data) { released().push_back(data); }

int text_compare(const void* data, const void* key, std::size_t length) {
  return std::strncmp(static_cast<const char*>(data), static_cast<const char*>(key), length);
}

// The texts of a list of NUL-terminated blocks, with their sizes.
std::vector<std::pair<std::string, std::size_t>> texts(const qv_list& list) {
  std::vector<std::pair<std::string, std::size_t>> result;
  for (const auto& entry : list) {
    result.emplace_back(static_cast<const char*>(entry->data), entry->size);
  }
  return result;
}

using Texts = std::vector<std::pair<std::string, std::size_t>>;

TEST(QvList, AppendCountsAndCopiesOrAssigns) {
  char first[] = "one";
  char second[] = "two";
  char third[] = "three";
  qv_list list;
  EXPECT_EQ(qv_append_list_entry(&list, first, sizeof first, 1), 1);
  EXPECT_EQ(qv_append_list_entry(&list, second, sizeof second, 0), 2);
  // Only the low byte of the flag counts: 0x100 means "no copy".
  EXPECT_EQ(qv_append_list_entry(&list, third, sizeof third, 0x100), 3);
  first[0] = 'X';
  second[0] = 'X';
  EXPECT_EQ(texts(list), (Texts{{"one", 4}, {"Xwo", 4}, {"three", 6}}));
  EXPECT_NE(list[0]->data, static_cast<void*>(first));
  EXPECT_EQ(list[1]->data, static_cast<void*>(second));
  EXPECT_EQ(list[2]->data, static_cast<void*>(third));
  EXPECT_EQ(qv_num_elements(list), 3);
  qv_destroy_list(&list, nullptr);
  EXPECT_EQ(qv_num_elements(list), 0);
}

TEST(QvList, AppendTracesEachStep) {
  LogCapture capture;
  VerboseDebug verbose;
  char block[] = "ab";
  qv_list list;
  ASSERT_EQ(qv_append_list_entry(&list, block, sizeof block, 1), 1);
  ASSERT_EQ(qv_append_list_entry(&list, block, sizeof block, 0), 2);
  EXPECT_EQ(located_lines(capture),
            (Lines{"7 qv_list DEBUG qv_append_list_entry(): new member created",
                   "7 qv_list DEBUG qv_append_list_entry(): request for member data copy",
                   "7 qv_list DEBUG qv_append_list_entry(): member data copied",
                   "7 qv_list DEBUG qv_append_list_entry(): destination list is NULL - new list",
                   "7 qv_list DEBUG qv_append_list_entry(): total list items 1",
                   "7 qv_list DEBUG qv_append_list_entry(): new member created",
                   "7 qv_list DEBUG qv_append_list_entry(): member data assigned - no copy made",
                   "7 qv_list DEBUG qv_append_list_entry(): destination list set - appending",
                   "7 qv_list DEBUG qv_append_list_entry(): appended",
                   "7 qv_list DEBUG qv_append_list_entry(): total list items 2"}));
  capture.clear();
  qv_destroy_list(&list, nullptr);
  qv_destroy_list(&list, nullptr);
  EXPECT_EQ(qv_num_elements(list), 0);
  EXPECT_EQ(located_lines(capture),
            (Lines{"7 qv_list DEBUG qv_destroy_list(): freeing member data",
                   "7 qv_list DEBUG qv_destroy_list(): member freed",
                   "7 qv_list DEBUG qv_destroy_list(): freeing member data",
                   "7 qv_list DEBUG qv_destroy_list(): member freed",
                   "7 qv_list DEBUG qv_destroy_list(): no list - nothing to do.",
                   "7 qv_list DEBUG qv_num_elements(): nothing to count returning 0"}));
}

TEST(QvList, InvalidArgumentsAreReportedAndChangeNothing) {
  LogCapture capture;
  char block[] = "x";
  qv_list list;
  EXPECT_EQ(qv_append_list_entry(nullptr, block, 2, 0), -1);
  EXPECT_EQ(qv_append_list_entry(&list, nullptr, 2, 0), -1);
  EXPECT_EQ(qv_append_list_entry(&list, block, 0, 1), -1);
  qv_destroy_list(nullptr, nullptr);
  EXPECT_EQ(qv_list_search(list, nullptr, 1, text_compare), nullptr);
  EXPECT_EQ(qv_list_search(list, "x", 0, text_compare), nullptr);
  EXPECT_EQ(qv_list_contains(list, "x", 1, nullptr), 0);
  EXPECT_EQ(qv_list_remove(&list, nullptr, nullptr), 0);
  EXPECT_EQ(qv_list_remove_free(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(qv_list_from_string_by_char(&list, nullptr, 3, ','), 0);
  EXPECT_EQ(qv_list_from_string_by_char(&list, "a,b", 0, ','), 0);
  EXPECT_TRUE(list.empty());
  const std::string error = " qv_list ERROR ";
  EXPECT_EQ(located_lines(capture),
            (Lines{"3" + error + "qv_append_list_entry(): Invalid argument",
                   "3" + error + "qv_append_list_entry(): Invalid argument",
                   "3" + error + "qv_append_list_entry(): Invalid argument",
                   "3" + error + "qv_destroy_list(): Invalid argument",
                   "3" + error + "qv_list_search(): Invalid argument",
                   "3" + error + "qv_list_search(): Invalid argument",
                   "3" + error + "qv_list_search(): Invalid argument",
                   "3" + error + "qv_list_remove(): Invalid argument",
                   "3" + error + "qv_list_remove_free(): Invalid argument",
                   "3" + error + "qv_list_from_string_by_char(): Invalid argument",
                   "3" + error + "qv_list_from_string_by_char(): Invalid argument"}));
}

TEST(QvList, DestroyHandsAssignedBlocksToTheReleaseFunctionOnly) {
  released().clear();
  char first[] = "a";
  char second[] = "b";
  char copied[] = "c";
  qv_list list;
  qv_append_list_entry(&list, first, 2, 0);
  qv_append_list_entry(&list, copied, 2, 1);
  qv_append_list_entry(&list, second, 2, 0);
  list[2]->data = nullptr;  // a block already taken away is skipped
  qv_destroy_list(&list, record_release);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(released(), (std::vector<void*>{first}));
}

TEST(QvList, SearchComparesOverTheShorterLength) {
  LogCapture capture;
  VerboseDebug verbose;
  char ab[] = "ab";
  char abcd[] = "abcd";
  char xyz[] = "xyz";
  qv_list list;
  qv_append_list_entry(&list, xyz, sizeof xyz, 0);
  qv_append_list_entry(&list, ab, sizeof ab - 1, 0);
  qv_append_list_entry(&list, abcd, sizeof abcd, 0);
  capture.clear();
  // The key abc finds ab (a prefix of the key) before abcd.
  EXPECT_EQ(qv_list_search(list, "abc", 3, text_compare), list[1].get());
  list[1]->data = nullptr;
  EXPECT_EQ(qv_list_search(list, "abc", 3, text_compare), list[2].get());
  // A key that is a prefix of an entry matches it too.
  EXPECT_EQ(qv_list_contains(list, "x", 1, text_compare), 1);
  EXPECT_EQ(qv_list_contains(list, "q", 1, text_compare), 0);
  EXPECT_EQ(located_lines(capture), (Lines{"7 qv_list DEBUG qv_list_search(): found a match",
                                           "7 qv_list DEBUG qv_list_search(): found a match",
                                           "7 qv_list DEBUG qv_list_search(): found a match",
                                           "7 qv_list DEBUG qv_list_search(): no match found"}));
}

TEST(QvList, RemoveUnlinksByIdentityAndHandsTheEntryBack) {
  LogCapture capture;
  VerboseDebug verbose;
  char a[] = "a";
  char b[] = "b";
  char c[] = "c";
  qv_list list;
  for (char* block : {a, b, c}) qv_append_list_entry(&list, block, 2, 0);
  capture.clear();
  qv_list_entry* first = list[0].get();
  std::unique_ptr<qv_list_entry> removed;
  EXPECT_EQ(qv_list_remove(&list, first, &removed), 1);
  EXPECT_EQ(removed.get(), first);
  EXPECT_EQ(removed->data, static_cast<void*>(a));
  EXPECT_EQ(texts(list), (Texts{{"b", 2}, {"c", 2}}));
  // Once out, the same entry is no longer found.
  EXPECT_EQ(qv_list_remove(&list, first, nullptr), 0);
  EXPECT_EQ(qv_list_remove(&list, list[1].get(), nullptr), 1);
  EXPECT_EQ(texts(list), (Texts{{"b", 2}}));
  EXPECT_EQ(located_lines(capture),
            (Lines{"7 qv_list DEBUG qv_list_remove(): found a match - trying to remove",
                   "7 qv_list DEBUG qv_list_remove(): found a match - trying to remove",
                   "7 qv_list DEBUG qv_list_remove(): tied next item to previous->next"}));
}

TEST(QvList, RemoveFreeRebuildsTheListWithoutTheEntry) {
  released().clear();
  char a[] = "a";
  char b[] = "b";
  char c[] = "c";
  qv_list list;
  qv_append_list_entry(&list, a, 2, 0);
  qv_append_list_entry(&list, b, 2, 1);
  qv_append_list_entry(&list, c, 2, 0);
  void* const copy_of_b = list[1]->data;
  EXPECT_EQ(qv_list_remove_free(&list, list[0].get(), record_release), 1);
  EXPECT_EQ(released(), (std::vector<void*>{a}));
  // The copy the list made of b survives the rebuild.
  EXPECT_EQ(texts(list), (Texts{{"b", 2}, {"c", 2}}));
  EXPECT_EQ(list[0]->data, copy_of_b);

  const qv_list_entry* const old_first = list[0].get();
  qv_list_entry stranger;
  EXPECT_EQ(qv_list_remove_free(&list, &stranger, record_release), 1);
  EXPECT_EQ(texts(list), (Texts{{"b", 2}, {"c", 2}}));
  EXPECT_NE(list[0].get(), old_first);
  EXPECT_EQ(released(), (std::vector<void*>{a}));
}

TEST(QvList, SplitKeepsNonEmptyFieldsOnly) {
  qv_list list;
  ASSERT_EQ(qv_list_from_string_by_char(&list, "a,,b,", 5, ','), 1);
  EXPECT_EQ(texts(list), (Texts{{"a", 2}, {"b", 2}}));
  // Later splits add behind the entries already there; only length bytes count.
  ASSERT_EQ(qv_list_from_string_by_char(&list, ",first\n\nsecond\nignored", 14, '\n'), 1);
  EXPECT_EQ(texts(list), (Texts{{"a", 2}, {"b", 2}, {",first", 7}, {"second", 7}}));
  ASSERT_EQ(qv_list_from_string_by_char(&list, ";;;", 3, ';'), 1);
  EXPECT_EQ(qv_num_elements(list), 4);
  qv_destroy_list(&list, nullptr);
}

TEST(QvList, SplitTracesItsWalk) {
  LogCapture capture;
  VerboseDebug verbose;
  qv_list list;
  ASSERT_EQ(qv_list_from_string_by_char(&list, ":ab", 3, ':'), 1);
  const std::string debug = "7 qv_list DEBUG qv_list_from_string_by_char(): ";
  const std::string append = "7 qv_list DEBUG qv_append_list_entry(): ";
  EXPECT_EQ(located_lines(capture),
            (Lines{debug + "splitting [:ab] by delimiter [:]", debug + "ptr1 pointing to [:ab]",
                   debug + "ptr1 pointing to [ab]", debug + "ptr2 pointing to []",
                   debug + "extracted [ab]", append + "new member created",
                   append + "member data assigned - no copy made",
                   append + "destination list is NULL - new list", append + "total list items 1"}));
  qv_destroy_list(&list, nullptr);
}

}  // namespace
}  // namespace korvex
