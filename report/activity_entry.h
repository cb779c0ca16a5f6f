// activity_entry - one line of the plugin's activity file, taken apart without copying:
// "YYYY-MM-DD HH:MM:SS korvex-plesk[PID]: " and then the activity line, whose first word
// (HAM, SPAM[...], IP_EXEMPT, RCPT_EXEMPT, FROM_WHITELIST, REPORT[...], TEMPFAIL[...]) says
// what the run decided, followed by mua=...,ip=[...],helo=<...>,from=<...>,rcpt=<...>.
//
// Exports: EntryKind, ActivityEntry, parse_line_day, parse_activity_line, peer_address,
// sender_domain.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvex {

// What a line records: one of the three counted outcomes, or a rule that only reported
// a hit or could not decide for now.
enum class EntryKind { kHam, kSpam, kExempt, kReportOnly, kDeferral };

// The parts of a line the report uses; the views point into the line.
struct ActivityEntry {
  std::chrono::sys_days day;
  EntryKind kind = EntryKind::kHam;
  std::string_view detail;  // inside the brackets of SPAM, REPORT and TEMPFAIL; else empty
  std::string_view peer;    // the peer address of ip=[address:host]
  std::string_view sender;  // inside from=<...>
};

// parse_line_day - the local date a line was written on; none when its stamp is malformed.
std::optional<std::chrono::sys_days> parse_line_day(std::string_view line);

// parse_activity_line - the whole line taken apart; none when it is not an activity line.
std::optional<ActivityEntry> parse_activity_line(std::string_view line);

// peer_address - the address part of the text inside ip=[...]: an IPv4 address ends at
// the first colon, an IPv6 one at the last.
std::string_view peer_address(std::string_view address_and_host);

// sender_domain - the domain of a sender address in lower case; "<>" for the empty sender
// of a bounce, "(no domain)" for a sender without one. The view points into sender, or into
// *scratch when letters had to be lowered.
std::string_view sender_domain(std::string_view sender, std::string* scratch);

}  // namespace korvex
