// counter_reader - decoding and reading the monthly counter files. See counter_reader.h.
#include "report/counter_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "plugin/engine.h"
#include "support/unique_fd.h"

namespace korvex {

namespace {

constexpr std::size_t kCounterFileSize = 500;

std::uint32_t load_le32(std::string_view bytes, std::size_t offset) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i]));
  };
  return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

// The day start the plugin stores for a local date: it takes the date of the moment it
// counts and makes that day's midnight, so any moment of the day gives the same value.
std::int32_t day_start_of(std::chrono::sys_days day) {
  const std::chrono::year_month_day date{day};
  struct tm noon = {};
  noon.tm_year = static_cast<int>(date.year()) - 1900;
  noon.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  noon.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  const std::time_t moment = std::mktime(&noon);
  if (moment == static_cast<std::time_t>(-1)) return 0;
  return counter_day_start(moment);
}

}  // namespace

std::optional<CounterFile> decode_counter_file(std::string_view bytes) {
  if (bytes.size() != kCounterFileSize || load_le32(bytes, 0) != 0) return std::nullopt;
  CounterFile file;
  for (std::size_t index = 0; index < file.slots.size(); ++index) {
    const auto offset = static_cast<std::size_t>(counter_slot_offset(static_cast<int>(index) + 1));
    CounterSlot& slot = file.slots[index];
    slot.day_start = static_cast<std::int32_t>(load_le32(bytes, offset));
    slot.ham = load_le32(bytes, offset + 4);
    slot.spam = load_le32(bytes, offset + 8);
    slot.exempt = load_le32(bytes, offset + 12);
  }
  return file;
}

CounterRead read_counter_file(const std::string& path) {
  CounterRead result;
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno != ENOENT) result.problem = std::strerror(errno);
    return result;
  }
  // One byte more than a counter file holds tells a longer file from a whole one.
  std::string bytes(kCounterFileSize + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.problem = std::strerror(errno);
      return result;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  result.file = decode_counter_file(bytes);
  if (!result.file) {
    result.problem = filled == kCounterFileSize
                         ? "not a counter file (its header word is not zero)"
                         : "not a counter file (" + std::to_string(filled) +
                               (filled > kCounterFileSize ? " or more" : "") + " bytes, not 500)";
  }
  return result;
}

std::optional<DayCounts> counter_counts_for(const CounterFile& file, std::chrono::sys_days day) {
  const std::chrono::year_month_day date{day};
  const CounterSlot& slot = file.slots[static_cast<unsigned>(date.day()) - 1];
  if (slot.day_start == 0 || slot.day_start != day_start_of(day)) return std::nullopt;
  return DayCounts{slot.ham, slot.spam, slot.exempt};
}

}  // namespace korvex
