// block_lists - the block_lists rule and checkList, the matcher it shares with the
// administrator's entries. See block_lists.h.
#include "plugin/checks/block_lists.h"

#include <syslog.h>

#include "plugin/checks/checks_internal.h"
#include "support/ip_address.h"
#include "tarn/tarn_map.h"

namespace korvex {
namespace {

constexpr std::size_t kRegexErrorSize = 80;

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
  if (lookupMapFile(context.system_log, path, subject) != 1) return 0;
  if (hits != nullptr) (void)string_list_append(hits, entry);  // the match stands regardless
  return 1;
}

}  // namespace

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
