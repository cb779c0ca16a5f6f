// Fuzz target: TARN map lookups over arbitrary map bytes - lookupMap on a memory file,
// lookupMapFile, lookupMaps, checkList's TARN mode and the block_lists rule on the same
// bytes as a file in a private directory. Input: the address (4 bytes, a.b.c.d), then the
// map. Every answer is compared with a lookup made directly on the bytes in memory, so a
// bound check that lets a read stray, or one that refuses a sound map, is caught.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/checks/checks_internal.h"
#include "plugin/checks/block_lists.h"
#include "tarn/tarn_map.h"
#include "plugin/rule_table.h"
#include "support/qv_log.h"

namespace {

constexpr std::int64_t kTableBytes = 1024;
constexpr std::int64_t kBitmapBytes = 8192;
constexpr const char* kMapName = "map";

struct map_bytes {
  const std::uint8_t* data;
  std::int64_t size;
};

// The word at offset, or -1 when the map ends before it.
std::int64_t word_at(const map_bytes& map, std::int64_t offset) {
  if (offset + 4 > map.size) return -1;
  const std::uint8_t* p = map.data + offset;
  return static_cast<std::int64_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                   static_cast<std::uint32_t>(p[3]) << 24);
}

// What a lookup must answer: 1 listed, 0 not, -1 short or corrupt map.
int expected_lookup(const map_bytes& map, const std::uint8_t octets[4]) {
  const std::int64_t root = word_at(map, std::int64_t{octets[0]} * 4);
  if (root < 0) return -1;
  if (root == 0) return 0;
  if (root == 0xFFFFFFFF) return 1;
  if (root > map.size - kTableBytes) return -1;
  const std::int64_t table = word_at(map, root + std::int64_t{octets[1]} * 4);
  if (table < 0) return -1;
  if (table == 0) return 0;
  if (table == 0xFFFFFFFF) return 1;
  if (table > map.size - kBitmapBytes) return -1;
  const std::int64_t byte = table + std::int64_t{octets[2]} * 32 + octets[3] / 8;
  if (byte >= map.size) return -1;
  return (map.data[byte] & (0x80u >> (octets[3] % 8))) != 0 ? 1 : 0;
}

int memory_file() {
  static const int fd = [] {
    const int made = ::memfd_create("tarn-map", MFD_CLOEXEC);
    if (made < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    return made;
  }();
  return fd;
}

void fill_memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = memory_file();
  if (::ftruncate(fd, 0) != 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (written <= 0) std::abort();
    done += static_cast<std::size_t>(written);
  }
}

const std::string& map_directory() {
  static const std::string dir = [] {
    std::string path = korvex_fuzz::scratch_dir() + "/tarn";
    if (::mkdir(path.c_str(), 0700) != 0) {
      std::perror(path.c_str());
      std::abort();
    }
    return path;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  korvex::CheckContext checks;
  checks.system_log = korvex_fuzz::quiet_log;
  const std::uint8_t* octets = data;
  const map_bytes map{data + 4, static_cast<std::int64_t>(size - 4)};
  const int expected = expected_lookup(map, octets);

  fill_memory_file(map.data, size - 4);
  std::uint32_t address = 0;  // network byte order: the octets as they stand in memory
  __builtin_memcpy(&address, octets, 4);
  if (korvex::lookupMap(checks.system_log, memory_file(), address) != expected) __builtin_trap();

  checks.tarn_map_dir = map_directory();
  const std::string path = map_directory() + "/" + kMapName;
  korvex_fuzz::write_file(path, map.data, size - 4);
  char ip[16];
  (void)std::snprintf(ip, sizeof ip, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
  if (korvex::lookupMapFile(checks.system_log, path, ip) != expected) __builtin_trap();
  if (korvex::lookupMaps(checks.system_log, map_directory(), std::string(" missing ") + kMapName, ip, 0) !=
      (expected == 1 ? 1 : 0)) {
    __builtin_trap();
  }

  // A missing list counts as not listed and every list is consulted, so the hit list names
  // the map once for each time it is enabled.
  const korvex::string_list enabled{kMapName, "missing", kMapName};
  korvex::string_list hits;
  const int listed = korvex::checkList(checks, enabled, ip, korvex::kCheckListTarn, &hits);
  const korvex::string_list expected_hits =
      expected == 1 ? korvex::string_list{kMapName, kMapName} : korvex::string_list{};
  if (listed != (expected == 1 ? 1 : 0) || hits != expected_hits) __builtin_trap();

  korvex::SessionState state;
  state.ip = ip;
  hits.clear();
  const korvex::CheckResult verdict = korvex::block_lists(checks, state, enabled, &hits);
  if (verdict != (expected == 1 ? korvex::HIT : korvex::DUNNO) || hits != expected_hits) {
    __builtin_trap();
  }
  return 0;
}
