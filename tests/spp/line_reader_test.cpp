#include "spp/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "support/unique_fd.h"

namespace korvex {
namespace {

// A pipe holding input, its write end kept open unless closed.
struct Feed {
  unique_fd read_end;
  unique_fd write_end;
  explicit Feed(const std::string& input) {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    EXPECT_EQ(write(write_end.get(), input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
  }
};

std::vector<std::pair<read_status, std::string>> read_all(line_reader& reader) {
  std::vector<std::pair<read_status, std::string>> seen;
  for (;;) {
    std::string line;
    const read_status status = reader.read_line(&line);
    seen.emplace_back(status, line);
    if (status != read_status::line && status != read_status::too_long) return seen;
  }
}

TEST(LineReader, SplitsPipelinedInputIntoLinesAndSkipsOverlongOnes) {
  const std::string overlong(30, 'x');
  Feed feed("EHLO a\r\nMAIL FROM:<b>\nmiddle\rcr\r\n" + overlong + "\r\n\r\nexactly-16-bytes\r\n" +
            "unended");
  feed.write_end.reset();
  line_reader reader(feed.read_end.get(), 16, 5);
  std::string first;
  EXPECT_EQ(reader.read_line(&first), read_status::line);
  EXPECT_EQ(first, "EHLO a");
  EXPECT_TRUE(reader.has_buffered());
  using S = read_status;
  EXPECT_EQ(read_all(reader), (std::vector<std::pair<S, std::string>>{
                                  {S::line, "MAIL FROM:<b>"},
                                  {S::line, "middle\rcr"},
                                  {S::too_long, ""},
                                  {S::line, ""},
                                  {S::line, "exactly-16-bytes"},
                                  {S::end, ""},
                              }));
}

TEST(LineReader, DiscardsAnOverlongLineArrivingInPiecesWithoutHoldingIt) {
  Feed feed(std::string(100, 'y'));
  line_reader reader(feed.read_end.get(), 10, 0);
  std::string line;
  // Nothing more arrives in time: the reader says so instead of waiting for ever.
  EXPECT_EQ(reader.read_line(&line), read_status::timeout);
  const std::string rest = std::string(100, 'z') + "\r\nQUIT\r\n";
  ASSERT_EQ(write(feed.write_end.get(), rest.data(), rest.size()),
            static_cast<ssize_t>(rest.size()));
  feed.write_end.reset();
  EXPECT_EQ(reader.read_line(&line), read_status::too_long);
  EXPECT_EQ(reader.read_line(&line), read_status::line);
  EXPECT_EQ(line, "QUIT");
  EXPECT_FALSE(reader.has_buffered());
  EXPECT_EQ(reader.read_line(&line), read_status::end);
}

}  // namespace
}  // namespace korvex
