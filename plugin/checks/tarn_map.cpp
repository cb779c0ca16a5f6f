// tarn_map - TARN map lookups and the block_lists rule.
//
// Exports: lookupMap, lookupMapFile, lookupMaps, checkList, block_lists.

#include "plugin/checks/tarn_map.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "plugin/checks/checks_internal.h"
#include "plugin/load_spp_env.h"
#include "support/common_utils.h"
#include "support/ip_address.h"
#include "support/locked_file.h"

namespace korvex {
namespace {

constexpr std::uint32_t kNothingListed = 0;
constexpr std::uint32_t kAllListed = 0xFFFFFFFFu;
constexpr std::int64_t kTableBytes = 1024;
constexpr std::int64_t kBitmapBytes = 8192;
constexpr std::size_t kRegexErrorSize = 80;

// One positioned read per step of a lookup: every run of the plugin walks each enabled map.
bool read_at(int descriptor, std::int64_t offset, unsigned char* bytes, std::size_t length) {
  if (descriptor == -1 || offset < 0) return false;
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(descriptor, bytes + done, length - done,
                                static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool read_word(int descriptor, std::int64_t offset, std::uint32_t* word) {
  unsigned char bytes[4];
  if (!read_at(descriptor, offset, bytes, sizeof bytes)) return false;
  *word = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
          static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

// The next level must fit inside the file. The bound is computed in signed 64 bits: a file
// too small to hold the next level has no valid offset at all, instead of a bound that
// wraps round to "anything goes" and lets a corrupt map list addresses from stray bytes.
bool beyond_bound(std::uint32_t offset, off_t size, std::int64_t level_bytes) {
  return static_cast<std::int64_t>(offset) > static_cast<std::int64_t>(size) - level_bytes;
}

// Follows one table word: 0 or 1 when it decides, -1 when corrupt, 2 when it points on.
int judge_word(const CheckContext& context, std::uint32_t word, off_t size,
               std::int64_t level_bytes) {
  if (word == kNothingListed) return 0;
  if (word == kAllListed) return 1;
  if (beyond_bound(word, size, level_bytes)) {
    syslog_line(context, LOG_ERR, "lookupMap(): corrupt TARN file");
    return -1;
  }
  return 2;
}

int check_regex_entry(const CheckContext& context, const std::string& entry,
                      const std::string& subject, string_list* hits) {
  regex_holder pattern;
  const int code = pattern.compile(entry.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
  if (code != 0) {
    syslog_line(context, LOG_INFO, "Warning: regcomp(): %s\n",
                pattern.error(code, kRegexErrorSize).c_str());
    return 0;
  }
  if (!pattern.matches(subject.c_str())) return 0;
  if (hits != nullptr) (void)string_list_append(hits, entry);  // the match stands regardless
  return 1;
}

int check_tarn_entry(const CheckContext& context, const std::string& entry,
                     const std::string& subject, string_list* hits) {
  const std::string path = context.tarn_map_dir + "/" + entry;
  syslog_line(context, LOG_DEBUG, "checkList(): TARN lookup [%s]", path.c_str());
  if (lookupMapFile(context, path, subject) != 1) return 0;
  if (hits != nullptr) (void)string_list_append(hits, entry);  // the match stands regardless
  return 1;
}

}  // namespace

int lookupMap(const CheckContext& context, int descriptor, std::uint32_t address) {
  if (descriptor == -1) {
    syslog_line(context, LOG_WARNING, "lookupMap(): invalid file handle");
    return -1;
  }
  const off_t size = file_size(descriptor);
  if (size < 0) return -1;
  const std::uint32_t host = ntohl(address);
  const std::uint32_t a = host >> 24, b = (host >> 16) & 0xFF, c = (host >> 8) & 0xFF;
  const std::uint32_t d = host & 0xFF;

  std::uint32_t root_word = 0;
  if (!read_word(descriptor, std::int64_t{a} * 4, &root_word)) return -1;
  const int root = judge_word(context, root_word, size, kTableBytes);
  if (root != 2) return root;

  std::uint32_t table_word = 0;
  if (!read_word(descriptor, std::int64_t{root_word} + std::int64_t{b} * 4, &table_word)) {
    return -1;
  }
  const int table = judge_word(context, table_word, size, kBitmapBytes);
  if (table != 2) return table;

  unsigned char bits = 0;
  if (!read_at(descriptor, std::int64_t{table_word} + std::int64_t{c} * 32 + d / 8, &bits, 1)) {
    return -1;
  }
  return (bits & (0x80u >> (d % 8))) != 0 ? 1 : 0;
}

int lookupMapFile(const CheckContext& context, const std::string& path, const std::string& ip) {
  in_addr address{};
  if (::inet_aton(ip.c_str(), &address) == 0) {
    syslog_line(context, LOG_WARNING, "lookupMapFile(): %s is not a valid IP address",
                blank_control_bytes(ip).c_str());
    return -1;
  }
  if (!path_is_file(path)) return -1;
  const int descriptor = file_open_locked(path, false, O_RDONLY);
  const int result = lookupMap(context, descriptor, address.s_addr);
  (void)file_close(descriptor);  // read-only: a failed close loses nothing
  return result;
}

int lookupMaps(const CheckContext& context, const std::string& directory, const std::string& names,
               const std::string& ip, int print) {
  in_addr address{};
  if (::inet_aton(ip.c_str(), &address) == 0) {
    syslog_line(context, LOG_WARNING, "lookupMaps(): %s is not a valid IP address",
                blank_control_bytes(ip).c_str());
    return -1;
  }
  int hits = 0;
  std::string name;
  for (unsigned index = 0; text_field(index, &name, names, ' '); ++index) {
    if (name.empty()) continue;
    std::string path = directory;
    path.append("/").append(name);
    if (!path_is_file(path)) continue;
    const int result = lookupMapFile(context, path, ip);
    if (result == 0) {
      syslog_line(context, LOG_INFO, "lookupMaps(): IP %s is NOT on block list %s", ip.c_str(),
                  name.c_str());
    } else if (result == 1) {
      syslog_line(context, LOG_INFO, "lookupMaps(): IP %s is on block list %s", ip.c_str(),
                  name.c_str());
      if (print != 0) (void)std::printf("%s ", name.c_str());
      ++hits;
    } else {
      syslog_line(context, LOG_WARNING, "lookupMaps(): lookupMap() returned: %d", result);
    }
  }
  if (print != 0) {
    (void)std::putchar('\n');
    (void)std::fflush(stdout);  // the names are the caller's answer: hand them over now
  }
  return hits != 0 ? 1 : 0;
}

int checkList(const CheckContext& context, const string_list& entries, const std::string& subject,
              int mode, string_list* hits) {
  int result = 0;
  for (const std::string& entry : entries) {
    if (mode == kCheckListRegex) {
      if (check_regex_entry(context, entry, subject, hits) == 1) return 1;
    } else if (mode == kCheckListExact) {
      if (entry == subject) return 1;
    } else if (mode == kCheckListTarn) {
      // Every list is consulted so that the hit list names all that list the address.
      if (check_tarn_entry(context, entry, subject, hits) == 1) result = 1;
    }
  }
  return result;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult block_lists(const CheckContext& context, SessionState state,
                        const string_list& tarn_lists, string_list* hits) {
  if (!state.ip) {
    if (state.log != nullptr) {
      state.log(LOG_DEBUG, "%s", "block_lists(): null argument(s) passed, failing open.");
    }
    return DUNNO;
  }
  // The maps cover the IPv4 space only: an IPv6 peer is on none of them, which is no fault.
  if (is_ipv6_address(*state.ip)) return DUNNO;
  return checkList(context, tarn_lists, *state.ip, kCheckListTarn, hits) == 1 ? HIT : DUNNO;
}

}  // namespace korvex
