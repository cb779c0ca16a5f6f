// engine - decides one SMTP command: the exemption lists, then the black lists, then the
// rules of the table in order; the first stage that decides ends the walk. A refusal is
// answered through the reply printer. Every decision becomes one activity line (system
// log and activity file) and one tick in the month's counter file. A hit of a rule in report
// mode is only written down (REPORT line, not counted); with defer_on_tempfail on, a session
// whose lookups failed for a temporary reason and that nothing refused is deferred with a
// 451 reply (TEMPFAIL line, not counted).
//
// Exports: Verdict, verdict_name, VerdictRecord, EngineSetup, decide, exemption_stage,
// black_list_stage, rule_stage, run_and_report, CounterKind, counter_file_path,
// counter_slot_offset, counter_day_start, bump_counter, bump_counter_at, activity_line,
// append_activity_line.
#pragma once

#include <syslog.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "lists/list_paths.h"
#include "plugin/load_spp_env.h"
#include "plugin/plugin_paths.h"
#include "plugin/reasons.h"
#include "plugin/rule_table.h"
#include "support/qv_log.h"

namespace korvex {

// Outcome of a run; its name opens the activity line. ERROR is never given by the engine.
enum class Verdict : std::int32_t {
  HAM = 0,
  SPAM = 1,
  IP_EXEMPT = 2,
  RCPT_EXEMPT = 3,
  FROM_WHITELIST = 4,
  ERROR = 5,
  TEMPFAIL = 6
};

// verdict_name - "HAM", "SPAM", "IP_EXEMPT", "RCPT_EXEMPT", "FROM_WHITELIST", "ERROR",
// "TEMPFAIL".
const char* verdict_name(Verdict verdict);

// The result of one decision.
struct VerdictRecord {
  Verdict verdict = Verdict::HAM;
  std::int32_t rejected = 0;  // 1 for a refusal or a deferral
  ReasonId reason = 0;
  std::optional<std::string> detail;  // what hit or deferred; absent when nothing did
  std::string log_line;               // activity line without time stamp
};

// Where the engine finds the administrator lists, keeps its records and logs.
struct EngineSetup {
  std::string list_dir = kListDirectory;
  std::string log_dir = kPleskLogDir;
  log_function system_log = ::syslog;
};

// decide - run the stages for one session; prints the refusal through printer when given.
// Nothing when memory runs out.
std::optional<VerdictRecord> decide(const EngineContext& context, const SessionState& state,
                                    line_printer printer, void* printer_arg,
                                    const EngineSetup& setup);

// exemption_stage - true (record filled) when an exemption list holds the session.
bool exemption_stage(const EngineContext& context, const SessionState& state,
                     VerdictRecord* record, const EngineSetup& setup);

// black_list_stage - true (record filled) when a black list holds the peer or sender.
bool black_list_stage(const EngineContext& context, const SessionState& state,
                      VerdictRecord* record, const EngineSetup& setup);

// rule_stage - true (record filled) when an enabled rule hits, or when the session is
// deferred for a rule whose lookups failed for a temporary reason.
bool rule_stage(const EngineContext& context, const SessionState& state, VerdictRecord* record,
                const EngineSetup& setup);

// run_and_report - decide, answer qmail-spp on printer_arg (standard output when null), log
// the activity line; true when the message was refused or deferred.
bool run_and_report(const EngineContext& context, const SessionState& state,
                    const EngineSetup& setup, void* printer_arg);

// What a counter tick counts.
enum class CounterKind : int { kHam = 0, kSpam = 1, kExempt = 2 };

// counter_file_path - "<base>.MM" for month 1-12.
std::string counter_file_path(const std::string& base, int month);

// counter_slot_offset - byte offset of a day's slot (day of month 1-31).
long counter_slot_offset(int day_of_month);

// counter_day_start - local midnight (standard time) of the day holding `now`.
std::int32_t counter_day_start(std::time_t now);

// bump_counter - count one run of the kind in the current month's file under base; a count
// that cannot be made is reported through report (at error priority) when it is given.
void bump_counter(const std::string& base, CounterKind kind, log_function report = nullptr);

// bump_counter_at - as bump_counter, for the moment `now`.
void bump_counter_at(const std::string& base, CounterKind kind, std::time_t now,
                     log_function report = nullptr);

// activity_line - the activity line of a record's verdict for the session.
std::string activity_line(const VerdictRecord& record, const SessionState& state);

// append_activity_line - add the time-stamped line to the activity file; a line that cannot
// be written is reported through report (at error priority) when it is given.
void append_activity_line(const std::string& path, const std::string& text,
                          log_function report = nullptr);

}  // namespace korvex
