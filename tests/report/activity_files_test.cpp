// activity_files: which files are the activity file's rotated copies, and reading them
// plain or compressed, whole lines across block ends, damaged archives named.
#include "report/activity_files.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace korvex {
namespace {

class CollectedLines : public LineSink {
 public:
  void line(std::string_view text, std::size_t line_number) override {
    lines.emplace_back(text);
    numbers.push_back(line_number);
  }
  std::vector<std::string> lines;
  std::vector<std::size_t> numbers;
};

std::string gzipped(const std::string& text) {
  uLongf size = compressBound(text.size()) + 64;
  std::string out(size, '\0');
  z_stream stream = {};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(size);
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  (void)deflateEnd(&stream);
  return out;
}

TEST(ActivityFiles, ListsTheFileAndItsRotatedCopiesNewestFirst) {
  testing::TempDir directory;
  for (const char* name : {"kxlog.10.gz", "kxlog.2.gz", "kxlog", "kxlog.1", "kxlog.bak", "kxlog.0",
                           "kxlog.02.gz", "kxlog.3.gz.tmp", "kxlogger", ".counter.dat.12"}) {
    directory.write(name, "");
  }
  ASSERT_EQ(::mkdir(directory.file("kxlog.4").c_str(), 0755), 0);
  std::vector<ActivityFile> files;
  std::string problem;
  ASSERT_TRUE(list_activity_files(directory.path(), "kxlog", &files, &problem));
  std::vector<std::string> listed;
  for (const ActivityFile& file : files) {
    listed.push_back(file.path.substr(directory.path().size() + 1) +
                     (file.compressed ? " compressed" : ""));
    EXPECT_NE(file.modified, 0);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{"kxlog", "kxlog.1", "kxlog.2.gz compressed",
                                              "kxlog.10.gz compressed"}));

  EXPECT_FALSE(list_activity_files(directory.file("absent"), "kxlog", &files, &problem));
  EXPECT_EQ(problem, "No such file or directory");
}

TEST(ActivityFiles, HandsOnWholeLinesOfPlainAndCompressedFiles) {
  // More than one read block, so that lines are cut by the blocks' ends; no final line feed.
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back("line " + std::to_string(i) +
                       std::string(static_cast<std::size_t>(i % 97), 'x'));
    text += expected.back() + "\n";
  }
  expected.emplace_back("");
  text += "\n";
  // A line longer than a block is handed on empty instead of being kept whole.
  expected.emplace_back("");
  text += std::string(3 << 20, 'z') + "\n";
  expected.emplace_back("after the long one");
  text += expected.back() + "\n";
  expected.emplace_back("last without line feed");
  text += expected.back();
  testing::TempDir directory;
  for (const ActivityFile& file :
       {ActivityFile{directory.write("kxlog", text), false, 0},
        ActivityFile{directory.write("kxlog.2.gz", gzipped(text)), true, 0}}) {
    SCOPED_TRACE(file.path);
    CollectedLines sink;
    std::string problem;
    ASSERT_TRUE(read_activity_file(file, &sink, &problem)) << problem;
    EXPECT_EQ(sink.lines, expected);
    ASSERT_EQ(sink.numbers.size(), expected.size());
    EXPECT_EQ(sink.numbers.back(), expected.size());
  }
}

TEST(ActivityFiles, NamesWhatKeepsAFileFromBeingRead) {
  // Text that does not shrink much, so that its archive is long enough to damage inside.
  std::string text;
  for (std::uint32_t state = 1; text.size() < 20000;) {
    state = state * 1103515245U + 12345U;
    text += static_cast<char>(state % 26 == 0 ? '\n' : 'a' + (state >> 16) % 26);
  }
  const std::string archive = gzipped(text);
  testing::TempDir directory;
  struct Case {
    ActivityFile file;
    std::string problem;
  };
  const Case cases[] = {
      {{directory.write("cut.gz", archive.substr(0, archive.size() / 2)), true, 0},
       "unexpected end of file"},
      {{directory.write("plain.gz", text), true, 0}, "not in gzip format"},
      {{directory.write("damaged.gz",
                        archive.substr(0, 12) + std::string(40, '\xff') + archive.substr(52)),
        true, 0},
       "invalid code lengths set"},
      {{directory.file("absent"), false, 0}, "No such file or directory"},
      {{directory.path(), false, 0}, "Is a directory"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.file.path);
    CollectedLines sink;
    std::string problem;
    EXPECT_FALSE(read_activity_file(each.file, &sink, &problem));
    EXPECT_EQ(problem, each.problem);
  }
}

}  // namespace
}  // namespace korvex
