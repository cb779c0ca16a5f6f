// list_files - matching, listing and editing the administrator lists. See list_files.h.
#include "lists/list_files.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "lists/list_match.h"
#include "lists/list_paths.h"
#include "lists/list_update.h"
#include "support/ip_address.h"

namespace korvex {

namespace {

// What a list is matched against and how.
struct ListRule {
  const std::optional<std::string>* value;
  std::size_t minimum_length;
  bool (*entry_matches)(const std::string& entry, const std::string& value);
};

constexpr std::size_t kMinimumIpLength = 7;
constexpr std::size_t kMinimumAddressLength = 6;

std::optional<ListRule> list_rule(int list_id, const std::optional<std::string>& ip,
                                  const std::optional<std::string>& mail_from,
                                  const std::optional<std::string>& rcpt_to) {
  switch (list_id) {
    case kFromWhitelistList:
    case kBlockedFromList:
      return ListRule{&mail_from, kMinimumAddressLength, address_entry_matches};
    case kExemptUsersList:
      return ListRule{&rcpt_to, kMinimumAddressLength, address_entry_matches};
    case kExemptIpsList:
    case kBlockedIpsList:
      return ListRule{&ip, kMinimumIpLength, ip_entry_matches};
    default:
      return std::nullopt;
  }
}

// The shortest IPv6 addresses ("::1") are shorter than any dotted quad, yet just as real.
bool long_enough(const ListRule& rule, const std::string& value) {
  return value.size() >= rule.minimum_length ||
         (rule.entry_matches == ip_entry_matches && is_ipv6_address(value));
}

bool path_is_regular_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The record a rewrite filter works with: stop at the first equal line (adding), the flag
// that one was found, where kept lines go, and the entry being added or deleted.
struct UpdateRecord {
  bool stop_on_match;
  bool* found;
  std::string* output;
  const std::string& entry;
};

// Copies every non-empty line that differs from the entry (ignoring case); an equal line
// is left out and, when adding, stops the reading.
int filter_line(UpdateRecord& record, const std::string& line) {
  if (line.empty()) return 0;
  if (equal_ignoring_case(line, record.entry)) {
    *record.found = true;
    return record.stop_on_match ? 1 : 0;
  }
  record.output->append(line).push_back('\n');
  return 0;
}

ListReadResult copy_without_entry(LineReader& list, UpdateRecord& record) {
  return read_list_lines(list,
                         [&record](const std::string& line) { return filter_line(record, line); });
}

bool read_failed(const ListReadResult& result, std::string* reason) {
  if (!result.failed) return false;
  set_reason(reason, "Unable to read list file: %s", std::strerror(result.error));
  return true;
}

bool add_step(LineReader& list, std::string* output, const std::string& entry,
              std::string* reason) {
  bool found = false;
  UpdateRecord record{true, &found, output, entry};
  const ListReadResult result = copy_without_entry(list, record);
  if (read_failed(result, reason)) return false;
  if (found) {
    set_reason(reason, "Entry already exists.");
    return false;
  }
  if (result.lines >= kListLineLimit) {
    set_reason(reason, "File is full.");
    return false;
  }
  output->append(entry).push_back('\n');
  return true;
}

bool del_step(LineReader& list, std::string* output, const std::string& entry,
              std::string* reason) {
  bool found = false;
  UpdateRecord record{false, &found, output, entry};
  const ListReadResult result = copy_without_entry(list, record);
  if (read_failed(result, reason)) return false;
  if (!found) {
    set_reason(reason, "Entry not found. (%s)", entry.c_str());
    return false;
  }
  // Lines past the ones ever considered (a list edited by hand) are kept as they stand.
  if (result.lines >= kListLineLimit && !list.copy_rest(output)) {
    set_reason(reason, "Unable to read list file: %s", std::strerror(list.error()));
    return false;
  }
  return true;
}

// A line feed would split the entry into several lines of the list, and a carriage return
// is dropped or kept by the reader depending on where it stands, so an entry holding either
// could slip past the duplicate test and the line limit, or never be found again.
bool spans_lines(const std::string& entry) {
  return entry.find_first_of("\r\n") != std::string::npos;
}

const char* const kNotSingleLine = "Entry must be a single line.";

// Reports a failed add or delete in the log and on standard output; the result is 1.
int report_failure(log_function log, const char* operation, const std::string& reason) {
  if (log != nullptr) log(LOG_ERR, "%s() ERROR: %s\n", operation, reason.c_str());
  std::printf("%s() ERROR: %s\n", operation, reason.c_str());
  // The line must reach the caller even if the process ends abruptly afterwards.
  (void)std::fflush(stdout);
  return 1;
}

}  // namespace

int session_in_list(const std::optional<std::string>& ip,
                    const std::optional<std::string>& mail_from,
                    const std::optional<std::string>& rcpt_to, int list_id,
                    const std::string& base_dir) {
  const std::optional<ListRule> rule = list_rule(list_id, ip, mail_from, rcpt_to);
  if (!rule) return 0;
  const std::optional<std::string>& value = *rule->value;
  if (!value || !long_enough(*rule, *value)) return 0;
  const auto matches = [&rule, &value](const std::string& entry) {
    return rule->entry_matches(entry, *value) ? 1 : 0;
  };
  return read_list_path(*list_file_path(base_dir, list_id), matches, nullptr) != 0 ? 1 : 0;
}

int iterate_exemption_list(log_function log, int list_id, const line_handler& handler,
                           const std::string& base_dir) {
  const std::optional<std::string> path = list_file_path(base_dir, list_id);
  if (!path) {
    if (log != nullptr) {
      log(LOG_WARNING, "Warning: iterate_exemption_list() called with unknown list id [%d]",
          list_id);
    }
    return -1;
  }
  if (!path_is_regular_file(*path)) return 0;
  return read_list_path(*path, handler, nullptr);
}

int add_entry(log_function log, int list_id, const std::string& entry,
              const std::string& base_dir) {
  const std::optional<std::string> path = list_file_path(base_dir, list_id);
  if (!path) {
    if (log != nullptr) {
      log(LOG_WARNING, "Warning: add_entry() called with unknown list id [%d]", list_id);
    }
    std::printf("Warning: add_entry() called with unknown list id [%d]\n", list_id);
    (void)std::fflush(stdout);
    return -1;
  }
  std::string reason;
  if (spans_lines(entry)) {
    set_reason(&reason, "%s", kNotSingleLine);
  } else if (update_list_file(*path, entry, add_step, &reason) == 0) {
    return 0;
  }
  return report_failure(log, "add_entry", reason);
}

int del_entry(log_function log, int list_id, const std::string& entry,
              const std::string& base_dir) {
  const std::optional<std::string> path = list_file_path(base_dir, list_id);
  if (!path) {
    if (log != nullptr) {
      log(LOG_WARNING, "Warning: del_entry() called with unknown list id [%d]", list_id);
    }
    return -1;
  }
  std::string reason;
  if (spans_lines(entry)) {
    set_reason(&reason, "%s", kNotSingleLine);
  } else if (update_list_file(*path, entry, del_step, &reason) == 0) {
    return 0;
  }
  return report_failure(log, "del_entry", reason);
}

int clear_exemption_list(log_function log, int list_id, const std::string& base_dir) {
  const std::optional<std::string> path = list_file_path(base_dir, list_id);
  if (!path) {
    if (log != nullptr) {
      log(LOG_WARNING, "Warning: clear_exemption_list() called with unknown list id [%d]", list_id);
    }
    return -1;
  }
  // Clearing an absent list is no error: the result is the same empty list.
  (void)unlink(path->c_str());
  return 0;
}

}  // namespace korvex
