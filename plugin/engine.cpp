// engine - the three decision stages, the verdict record and its activity line, and the
// monthly counter files. See engine.h.
//
// A counter file is exactly 500 bytes: a 4-byte header word (always zero) and 31 day slots
// of 16 bytes from offset 4, each holding the day's local midnight and its ham, spam and
// exempt counts as 32-bit little-endian words. Runs serialise on a whole-file write lock.
#include "plugin/engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "lists/list_files.h"
#include "support/file_io.h"

namespace korvex {

namespace {

constexpr off_t kCounterFileSize = 500;
constexpr std::size_t kSlotSize = 16;
// A slot whose day start lies more than 31 days back belongs to an earlier year's month.
constexpr std::uint32_t kCounterMaxAge = 2678400;
// The activity file and the counters name every sender and recipient: readable by their
// owner and the log readers' group (the directory's, when it is set-group-id), nobody else,
// whatever mask the SMTP daemon hands down.
constexpr mode_t kLogFileMode = 0640;
constexpr mode_t kLogFileMask = 027;

void engine_log(const EngineContext& context, int priority, const char* format,
                const char* first = nullptr, const char* second = nullptr) {
  if (context.logger != nullptr) context.logger(priority, format, first, second);
}

bool matches(const EngineSetup& setup, const SessionState& state, int list_id) {
  return session_in_list(state.ip, state.mail_from, state.rcpt_to, list_id, setup.list_dir) == 1;
}

std::uint32_t load_le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void store_le32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A short read or write sets no errno of its own: say what it was.
bool read_at(int fd, unsigned char* buffer, std::size_t length, off_t offset) {
  errno = 0;
  if (::pread(fd, buffer, length, offset) == static_cast<ssize_t>(length)) return true;
  if (errno == 0) errno = EIO;
  return false;
}

bool write_at(int fd, const unsigned char* buffer, std::size_t length, off_t offset) {
  errno = 0;
  if (::pwrite(fd, buffer, length, offset) == static_cast<ssize_t>(length)) return true;
  if (errno == 0) errno = ENOSPC;
  return false;
}

// Say that a run's activity line or count is lost, with the file and the system's reason;
// every run that fails says so, until the administrator mends it.
void report_lost(log_function report, const char* what, const std::string& path) {
  const std::string reason = std::strerror(errno);
  if (report != nullptr) report(LOG_ERR, "Unable to %s %s: %s", what, path.c_str(), reason.c_str());
}

bool counter_file_is_stale(int fd, off_t slot_offset, std::int32_t day_start) {
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size != kCounterFileSize) return true;
  std::array<unsigned char, 4> word{};
  if (!read_at(fd, word.data(), word.size(), 0) || load_le32(word.data()) != 0) return true;
  if (!read_at(fd, word.data(), word.size(), slot_offset)) return true;
  const std::uint32_t stored = load_le32(word.data());
  return stored != 0 && static_cast<std::uint32_t>(day_start) - stored > kCounterMaxAge;
}

bool reset_counter_file(int fd) {
  const std::array<unsigned char, kCounterFileSize> zeros{};
  return ::ftruncate(fd, 0) == 0 && write_at(fd, zeros.data(), zeros.size(), 0);
}

bool count_in_slot(int fd, off_t slot_offset, std::int32_t day_start, CounterKind kind) {
  std::array<unsigned char, kSlotSize> slot{};
  if (!read_at(fd, slot.data(), slot.size(), slot_offset)) return false;
  if (load_le32(slot.data()) == 0) store_le32(slot.data(), static_cast<std::uint32_t>(day_start));
  const auto count_offset = 4 + 4 * static_cast<std::size_t>(kind);
  unsigned char* count = slot.data() + count_offset;
  store_le32(count, load_le32(count) + 1);
  return write_at(fd, slot.data(), slot.size(), slot_offset);
}

std::string shown(const std::optional<std::string>& value) {
  return value ? blank_control_bytes(*value) : std::string("(null)");
}

std::string format_stamped_line(const std::string& text) {
  const std::time_t now = std::time(nullptr);
  struct tm local = {};
  if (::localtime_r(&now, &local) == nullptr) return {};
  const char* format = "%04d-%02d-%02d %02d:%02d:%02d %s[%d]: %s\n";
  const int pid = static_cast<int>(::getpid());
  const int args_length =
      std::snprintf(nullptr, 0, format, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                    local.tm_hour, local.tm_min, local.tm_sec, kPleskIdentity, pid, text.c_str());
  if (args_length <= 0) return {};
  std::string line(static_cast<std::size_t>(args_length), '\0');
  (void)std::snprintf(line.data(), line.size() + 1, format, local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, kPleskIdentity, pid,
                      text.c_str());
  return line;
}

CheckResult run_check(const RuleEntry& rule, const CheckContext& checks,
                      const string_list& tarn_lists, const SessionState& state, string_list* hits) {
  if (const auto* check = std::get_if<block_list_check>(&rule.check)) {
    return *check != nullptr ? (*check)(checks, state, tarn_lists, hits) : DUNNO;
  }
  if (const auto* check = std::get_if<plain_rule_check>(&rule.check);
      check != nullptr && *check != nullptr) {
    return (*check)(checks, state);
  }
  return DUNNO;
}

// The activity line's session part after its label ("HAM", "SPAM[...]", ...).
std::string labelled_line(std::string label, const SessionState& state) {
  label += ": mua=" + std::to_string(state.mua) + ",ip=[" + shown(state.ip) + ":" +
           shown(state.remote_host) + "],helo=<" + shown(state.helo) + ">,from=<" +
           shown(state.mail_from) + ">,rcpt=<" + shown(state.rcpt_to) + ">";
  return label;
}

// A hit of a rule in report mode: written down where a refusal would be, nothing more.
void report_hit(const std::optional<std::string>& detail, const SessionState& state,
                const EngineSetup& setup) {
  const std::string line = labelled_line("REPORT[" + detail.value_or("") + "]", state);
  append_activity_line(setup.log_dir + "/" + kActivityFileName, line, setup.system_log);
  if (setup.system_log != nullptr) setup.system_log(LOG_INFO, "%s", line.c_str());
}

// The one-line temporary reply of a deferred session.
string_list deferral_lines(const std::string& rule) {
  return string_list{"451 4.4.3 Temporary DNS failure in " + rule + "; try again later\n"};
}

std::optional<std::string> hit_detail(const RuleEntry& rule, const string_list& hits) {
  if (!std::holds_alternative<block_list_check>(rule.check)) return rule.name;
  if (hits.empty()) return std::nullopt;
  std::string joined;
  for (const std::string& name : hits) joined += (joined.empty() ? "" : ",") + name;
  return rule.name + ":" + joined;
}

// Whether the row is passed over for this session, with the reason logged.
bool skip_rule(const EngineContext& context, const RuleEntry& rule, const SessionState& state) {
  const char* name = rule.name.c_str();
  if (rule.state == RuleState::Disabled) {
    engine_log(context, LOG_DEBUG, "NOT CHECKING: '%s': disabled", name);
    return true;
  }
  if (state.mua == 1 && rule.applies_to_mua == 0) {
    engine_log(context, LOG_DEBUG, "Skipping rule '%s' because remote system appears to be MUA.",
               name);
    return true;
  }
  if (rule.skips_bounces && (!state.mail_from || state.mail_from->empty())) {
    engine_log(context, LOG_DEBUG, "Skipping rule '%s' because message appears to be NDR", name);
    return true;
  }
  return false;
}

std::string counter_base(const EngineSetup& setup) {
  return setup.log_dir + "/" + kCounterFileName;
}

}  // namespace

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::HAM:
      return "HAM";
    case Verdict::SPAM:
      return "SPAM";
    case Verdict::IP_EXEMPT:
      return "IP_EXEMPT";
    case Verdict::RCPT_EXEMPT:
      return "RCPT_EXEMPT";
    case Verdict::FROM_WHITELIST:
      return "FROM_WHITELIST";
    case Verdict::ERROR:
      return "ERROR";
    case Verdict::TEMPFAIL:
      return "TEMPFAIL";
  }
  return "ERROR";
}

bool exemption_stage(const EngineContext& context, const SessionState& state, VerdictRecord* record,
                     const EngineSetup& setup) {
  engine_log(context, LOG_DEBUG, "Checking exemption lists...");
  const std::pair<int, Verdict> exemptions[] = {
      {kExemptIpsList, Verdict::IP_EXEMPT},
      {kExemptUsersList, Verdict::RCPT_EXEMPT},
      {kFromWhitelistList, Verdict::FROM_WHITELIST},
  };
  for (const auto& [list_id, verdict] : exemptions) {
    if (!matches(setup, state, list_id)) continue;
    record->verdict = verdict;
    record->rejected = 0;
    bump_counter(counter_base(setup), CounterKind::kExempt, setup.system_log);
    return true;
  }
  return false;
}

bool black_list_stage(const EngineContext& context, const SessionState& state,
                      VerdictRecord* record, const EngineSetup& setup) {
  engine_log(context, LOG_DEBUG, "Checking black lists...");
  bool hit = false;
  if (matches(setup, state, kBlockedIpsList)) {
    record->reason = kReasonIpBlacklist;
    record->detail = "ip_blacklist";
    hit = true;
  }
  if (matches(setup, state, kBlockedFromList)) {
    record->reason = kReasonFromBlacklist;
    record->detail = "from_blacklist";
    hit = true;
  }
  if (!hit) return false;
  record->verdict = Verdict::SPAM;
  record->rejected = 1;
  bump_counter(counter_base(setup), CounterKind::kSpam, setup.system_log);
  return true;
}

bool rule_stage(const EngineContext& context, const SessionState& state, VerdictRecord* record,
                const EngineSetup& setup) {
  engine_log(context, LOG_DEBUG, "Checking rules...");
  std::optional<std::string> deferred_by;  // the first rule whose lookups may pass later
  if (context.enabled_rules) {
    CheckContext checks = context.checks;
    LookupNotes notes;
    checks.notes = &notes;
    for (const RuleEntry& rule : *context.enabled_rules) {
      if (skip_rule(context, rule, state)) continue;
      string_list hits;
      notes = LookupNotes{};
      const CheckResult result = run_check(rule, checks, context.tarn_lists, state, &hits);
      engine_log(context, LOG_DEBUG, "Checking '%s': %s", rule.name.c_str(),
                 check_result_name(result));
      if (rule.state == RuleState::Report) {
        // A rule on trial never changes the outcome: not by a hit, not by a deferral.
        if (result == HIT) report_hit(hit_detail(rule, hits), state, setup);
        continue;
      }
      if (result == TEMPFAIL && notes.temporary_failure && checks.defer_on_tempfail &&
          !deferred_by) {
        deferred_by = rule.name;
      }
      if (result != HIT) continue;  // DUNNO, TEMPFAIL and anything else never refuse
      record->verdict = Verdict::SPAM;
      record->rejected = 1;
      record->reason = rule.reason;
      record->detail = hit_detail(rule, hits);
      bump_counter(counter_base(setup), CounterKind::kSpam, setup.system_log);
      return true;
    }
  }
  if (deferred_by) {
    // Nothing refused, but the verdict rests on lookups that may answer later: the client
    // is to try again, and the run counts as nothing yet.
    record->verdict = Verdict::TEMPFAIL;
    record->rejected = 1;
    record->detail = std::move(deferred_by);
    return true;
  }
  bump_counter(counter_base(setup), CounterKind::kHam, setup.system_log);
  return false;
}

std::optional<VerdictRecord> decide(const EngineContext& context, const SessionState& state,
                                    line_printer printer, void* printer_arg,
                                    const EngineSetup& setup) {
  try {
    VerdictRecord record;
    if (!exemption_stage(context, state, &record, setup)) {
      const bool decided = black_list_stage(context, state, &record, setup) ||
                           rule_stage(context, state, &record, setup);
      if (decided && printer != nullptr) {
        if (record.verdict == Verdict::TEMPFAIL) {
          (void)printer(deferral_lines(record.detail.value_or("")), printer_arg);
        } else {
          (void)respond(state, record.reason, printer, printer_arg);
        }
      }
    }
    record.log_line = activity_line(record, state);
    append_activity_line(setup.log_dir + "/" + kActivityFileName, record.log_line,
                         setup.system_log);
    return record;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

bool run_and_report(const EngineContext& context, const SessionState& state,
                    const EngineSetup& setup, void* printer_arg) {
  const std::optional<VerdictRecord> record =
      decide(context, state, spp_print_lines, printer_arg, setup);
  if (!record) return false;
  if (setup.system_log != nullptr) setup.system_log(LOG_INFO, "%s", record->log_line.c_str());
  return record->rejected == 1;
}

std::string activity_line(const VerdictRecord& record, const SessionState& state) {
  std::string label = verdict_name(record.verdict);
  if (record.verdict == Verdict::SPAM || record.verdict == Verdict::TEMPFAIL) {
    // Appended piece by piece: g++ 12 at -O3 takes "[" + detail for an overlapping copy.
    label.append("[").append(record.detail.value_or("")).append("]");
  }
  return labelled_line(std::move(label), state);
}

void append_activity_line(const std::string& path, const std::string& text, log_function report) {
  const std::string line = format_stamped_line(text);
  if (line.empty()) return;
  (void)::umask(kLogFileMask);
  const unique_fd file(
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode));
  if (file.get() < 0) return report_lost(report, "append the activity line to", path);
  // One write per run keeps concurrent runs' lines whole in the shared file.
  errno = 0;
  const ssize_t wrote = ::write(file.get(), line.data(), line.size());
  if (wrote > 0 && static_cast<std::size_t>(wrote) == line.size()) return;
  if (errno == 0) errno = ENOSPC;
  report_lost(report, "append the activity line to", path);
  if (wrote <= 0) return;
  // Only part of the line fitted (a full file system): take it back out, or the next run's
  // line would be glued onto it. Nothing is cut when another run has appended since.
  struct stat status = {};
  const off_t end = ::lseek(file.get(), 0, SEEK_CUR);
  if (end < wrote || ::fstat(file.get(), &status) != 0 || status.st_size != end) return;
  // The line is lost either way; a failed truncation leaves the part where it is.
  if (::ftruncate(file.get(), end - wrote) != 0) return;
}

std::string counter_file_path(const std::string& base, int month) {
  char suffix[16] = {};  // room for any int, so the compiler can see nothing is cut
  (void)std::snprintf(suffix, sizeof suffix, ".%02d", month);
  return base + suffix;
}

long counter_slot_offset(int day_of_month) { return 4 + 16L * (day_of_month - 1); }

std::int32_t counter_day_start(std::time_t now) {
  struct tm local = {};
  if (::localtime_r(&now, &local) == nullptr) return 0;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = 0;
  return static_cast<std::int32_t>(std::mktime(&local));
}

void bump_counter(const std::string& base, CounterKind kind, log_function report) {
  bump_counter_at(base, kind, std::time(nullptr), report);
}

void bump_counter_at(const std::string& base, CounterKind kind, std::time_t now,
                     log_function report) {
  struct tm local = {};
  if (::localtime_r(&now, &local) == nullptr) return;
  const std::int32_t day_start = counter_day_start(now);
  const std::string path = counter_file_path(base, local.tm_mon + 1);
  (void)::umask(kLogFileMask);
  const unique_fd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLogFileMode));
  if (file.get() < 0) return report_lost(report, "open the counter file", path);
  if (!lock_whole_file(file.get(), lock_kind::record_write_wait)) {
    return report_lost(report, "lock the counter file", path);
  }
  const off_t slot_offset = counter_slot_offset(local.tm_mday);
  if ((counter_file_is_stale(file.get(), slot_offset, day_start) &&
       !reset_counter_file(file.get())) ||
      !count_in_slot(file.get(), slot_offset, day_start, kind)) {
    report_lost(report, "count this run in", path);
  }
}

}  // namespace korvex
