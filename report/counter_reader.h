// counter_reader - reads the plugin's monthly counter files for the report: a 4-byte header
// word (zero) and 31 day slots of 16 bytes from offset 4, each the day's local midnight
// (standard time) and its ham, spam and exempt counts, all 32-bit little-endian, 500 bytes
// in all. A slot counts for a date only when its stored midnight is that date's, so a
// month's file from an earlier year never lends its counts to this one.
//
// Exports: DayCounts, CounterSlot, CounterFile, CounterRead, decode_counter_file,
// read_counter_file, counter_counts_for.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// Recipients of one day by outcome.
struct DayCounts {
  std::uint64_t ham = 0;
  std::uint64_t spam = 0;
  std::uint64_t exempt = 0;
  bool operator==(const DayCounts&) const = default;
};

struct CounterSlot {
  std::int32_t day_start = 0;
  std::uint32_t ham = 0;
  std::uint32_t spam = 0;
  std::uint32_t exempt = 0;
};

struct CounterFile {
  std::array<CounterSlot, 31> slots{};  // day of month 1 at index 0
};

// The outcome of reading one counter file: the file, or why there is none. A file that
// does not exist is no problem (problem empty): the plugin makes it on a month's first run.
struct CounterRead {
  std::optional<CounterFile> file;
  std::string problem;
};

// decode_counter_file - the slots of a counter file's bytes; none unless it is 500 bytes
// with a zero header word, which the plugin would otherwise clear on its next count.
std::optional<CounterFile> decode_counter_file(std::string_view bytes);

// read_counter_file - read and decode the file at path.
CounterRead read_counter_file(const std::string& path);

// counter_counts_for - the counts the file holds for the local date day, if its slot is
// that date's.
std::optional<DayCounts> counter_counts_for(const CounterFile& file, std::chrono::sys_days day);

}  // namespace korvex
