// counter_reader: the monthly counter files, read field by field, and which of their slots
// count for which date.
#include "report/counter_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/temp_dir.h"

namespace korvex {
namespace {

using std::chrono::sys_days;

// The counter files' midnights are local: the tests pin the zone.
class CounterFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    if (zone != nullptr) saved_zone_ = zone;
    had_zone_ = zone != nullptr;
    ASSERT_EQ(::setenv("TZ", "UTC", 1), 0);
    ::tzset();
  }
  void TearDown() override {
    if (had_zone_) {
      (void)::setenv("TZ", saved_zone_.c_str(), 1);
    } else {
      (void)::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string saved_zone_;
  bool had_zone_ = false;
};

void put_le32(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

// A December file: day 1 of 2026, day 2 left over from 2025, day 3 never used, and day 31
// with counts above 2^31 and a stamp whose bytes are all set.
std::string december_file() {
  std::string bytes(500, '\0');
  put_le32(&bytes, 4, 1796083200);  // 2026-12-01 00:00 UTC
  put_le32(&bytes, 8, 17);
  put_le32(&bytes, 12, 0x80000001U);
  put_le32(&bytes, 16, 2);
  put_le32(&bytes, 20, 1764633600);  // 2025-12-02
  put_le32(&bytes, 24, 5);
  put_le32(&bytes, 4 + 16 * 30, 1798675200);  // 2026-12-31
  put_le32(&bytes, 4 + 16 * 30 + 12, 0xFFFFFFFFU);
  return bytes;
}

sys_days december(int day) {
  return sys_days{std::chrono::year{2026} / 12 / static_cast<unsigned>(day)};
}

TEST_F(CounterFiles, ASlotCountsOnlyForTheDateItWasWrittenOn) {
  const std::optional<CounterFile> file = decode_counter_file(december_file());
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(counter_counts_for(*file, december(1)), (DayCounts{17, 0x80000001U, 2}));
  EXPECT_EQ(counter_counts_for(*file, december(2)), std::nullopt);  // a year older
  EXPECT_EQ(counter_counts_for(*file, sys_days{std::chrono::year{2025} / 12 / 2}),
            (DayCounts{5, 0, 0}));
  EXPECT_EQ(counter_counts_for(*file, december(3)), std::nullopt);  // never used
  EXPECT_EQ(counter_counts_for(*file, december(31)), (DayCounts{0, 0, 0xFFFFFFFFU}));
}

TEST_F(CounterFiles, OnlyAWholeFileWithAZeroHeaderIsACounterFile) {
  std::string bytes = december_file();
  EXPECT_FALSE(decode_counter_file(bytes.substr(0, 499)).has_value());
  EXPECT_FALSE(decode_counter_file(bytes + '\0').has_value());
  bytes[3] = 1;
  EXPECT_FALSE(decode_counter_file(bytes).has_value());

  testing::TempDir directory;
  const CounterRead whole = read_counter_file(directory.write("whole", december_file()));
  ASSERT_TRUE(whole.file.has_value());
  EXPECT_EQ(whole.problem, "");
  EXPECT_EQ(counter_counts_for(*whole.file, december(1)), (DayCounts{17, 0x80000001U, 2}));

  struct Case {
    std::string path;
    std::string problem;
  };
  const Case cases[] = {
      {directory.file("absent"), ""},
      {directory.write("short", std::string(37, '\0')), "not a counter file (37 bytes, not 500)"},
      {directory.write("long", std::string(600, '\0')),
       "not a counter file (501 or more bytes, not 500)"},
      {directory.write("header", bytes), "not a counter file (its header word is not zero)"},
      {directory.path(), "Is a directory"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.path);
    const CounterRead read = read_counter_file(each.path);
    EXPECT_FALSE(read.file.has_value());
    EXPECT_EQ(read.problem, each.problem);
  }
}

}  // namespace
}  // namespace korvex
