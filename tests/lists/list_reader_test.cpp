#include "lists/list_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/lists/list_test_dir.h"

namespace korvex {
namespace {

using testing::ListDir;
using testing::write_file;

struct Read {
  std::vector<std::string> entries;
  int lines = -1;
  int result = 0;
};

Read read_all(const std::string& path) {
  Read read;
  read.result = read_list_path(
      path,
      [&read](const std::string& entry) {
        read.entries.push_back(entry);
        return 0;
      },
      &read.lines);
  return read;
}

TEST(ListReader, LineEndsCarriageReturnsAndBlankLines) {
  ListDir dir;
  const std::string path = dir.path("list");
  write_file(path, "a\r\nb\n\r\n\n c \nd\r\r\ne\r");
  const Read read = read_all(path);
  EXPECT_EQ(read.entries, (std::vector<std::string>{"a", "b", "", "", " c ", "d\r", "e\r"}));
  EXPECT_EQ(read.lines, 7);
  EXPECT_EQ(read.result, 0);
}

TEST(ListReader, OverLongLinesAreSkippedWholeButCounted) {
  ListDir dir;
  const std::string path = dir.path("list");
  const std::string longest_kept(1022, 'k');
  write_file(path, longest_kept + "\n" + std::string(1023, 'x') + "\n" + std::string(3000, 'y') +
                       "\r\nz\n");
  const Read read = read_all(path);
  EXPECT_EQ(read.entries, (std::vector<std::string>{longest_kept, "z"}));
  EXPECT_EQ(read.lines, 4);
}

TEST(ListReader, OverLongLastLineWithoutLineFeedGivesItsFirstPiece) {
  ListDir dir;
  const std::string path = dir.path("list");
  write_file(path, "a\n" + std::string(1000, 'p') + std::string(1000, 'q'));
  Read read = read_all(path);
  EXPECT_EQ(read.entries,
            (std::vector<std::string>{"a", std::string(1000, 'p') + std::string(23, 'q')}));
  EXPECT_EQ(read.lines, 2);

  write_file(path, std::string(1023, 'r'));
  read = read_all(path);
  EXPECT_EQ(read.entries, (std::vector<std::string>{std::string(1023, 'r')}));
  EXPECT_EQ(read.lines, 1);
}

TEST(ListReader, OnlyTheFirstFiveHundredLinesCount) {
  ListDir dir;
  const std::string path = dir.path("list");
  write_file(path, "\n" + testing::numbered_lines("l", 600));
  const Read read = read_all(path);
  ASSERT_EQ(read.entries.size(), 500u);
  EXPECT_EQ(read.entries.front(), "");
  EXPECT_EQ(read.entries.back(), "l499");
  EXPECT_EQ(read.lines, 500);
}

TEST(ListReader, HandlerStopsTheReadingWithItsValue) {
  ListDir dir;
  const std::string path = dir.path("list");
  write_file(path, "one\ntwo\nthree\nfour\n");
  std::vector<std::string> seen;
  int lines = 0;
  const int result = read_list_path(
      path,
      [&seen](const std::string& entry) {
        seen.push_back(entry);
        return entry == "three" ? 7 : 0;
      },
      &lines);
  EXPECT_EQ(result, 7);
  EXPECT_EQ(lines, 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(ListReader, MissingFileReadsAsEmptyAndLeavesTheCountAlone) {
  ListDir dir;
  int lines = -5;
  bool called = false;
  EXPECT_EQ(read_list_path(
                dir.path("absent"),
                [&called](const std::string&) {
                  called = true;
                  return 1;
                },
                &lines),
            0);
  EXPECT_EQ(lines, -5);
  EXPECT_FALSE(called);
}

TEST(ListReader, ReadErrorsAreReported) {
  ListDir dir;
  unique_fd directory(open(dir.base().c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(directory.valid());
  LineReader reader(directory.get());
  const ListReadResult result = read_list_lines(reader, [](const std::string&) { return 0; });
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error, EISDIR);
  EXPECT_EQ(result.lines, 0);

  std::string rest;
  EXPECT_FALSE(reader.copy_rest(&rest));
}

}  // namespace
}  // namespace korvex
