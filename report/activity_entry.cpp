// activity_entry - the activity-line parser. See activity_entry.h.
//
// It runs once per line over logs of millions of lines: fixed positions for the stamp,
// plain searches for the separators, no allocation except for a sender's domain.
#include "report/activity_entry.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "plugin/plugin_paths.h"

namespace korvex {

namespace {

using std::string_view;

// "YYYY-MM-DD HH:MM:SS "
constexpr std::size_t kStampLength = 20;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of the digits at line[at, at + count); -1 when one is not a digit.
int digits_at(string_view line, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!is_digit(line[i])) return -1;
    value = value * 10 + (line[i] - '0');
  }
  return value;
}

bool time_of_day_is_valid(string_view line) {
  if (line[13] != ':' || line[16] != ':' || line[19] != ' ') return false;
  const int hour = digits_at(line, 11, 2);
  const int minute = digits_at(line, 14, 2);
  const int second = digits_at(line, 17, 2);
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second <= 60;
}

// Consume "prefix" at the front of text.
bool take(string_view* text, string_view prefix) {
  if (text->substr(0, prefix.size()) != prefix) return false;
  text->remove_prefix(prefix.size());
  return true;
}

// Consume the text up to the first "separator" and the separator; the part before it in *part.
bool take_until(string_view* text, string_view separator, string_view* part) {
  const std::size_t at = text->find(separator);
  if (at == string_view::npos) return false;
  *part = text->substr(0, at);
  text->remove_prefix(at + separator.size());
  return true;
}

// "korvex-plesk[PID]: "
bool take_identity(string_view* text) {
  if (!take(text, kPleskIdentity) || !take(text, "[")) return false;
  std::size_t length = 0;
  while (length < text->size() && is_digit((*text)[length])) ++length;
  if (length == 0) return false;
  text->remove_prefix(length);
  return take(text, "]: ");
}

struct VerdictWord {
  string_view word;  // with "[" for the words that carry a name
  EntryKind kind;
};

constexpr std::array<VerdictWord, 7> kVerdictWords = {{
    {"HAM", EntryKind::kHam},
    {"SPAM[", EntryKind::kSpam},
    {"IP_EXEMPT", EntryKind::kExempt},
    {"RCPT_EXEMPT", EntryKind::kExempt},
    {"FROM_WHITELIST", EntryKind::kExempt},
    {"REPORT[", EntryKind::kReportOnly},
    {"TEMPFAIL[", EntryKind::kDeferral},
}};

// The verdict word and its bracketed name, up to and including "mua=".
bool take_verdict(string_view* text, ActivityEntry* entry) {
  for (const VerdictWord& verdict : kVerdictWords) {
    if (!take(text, verdict.word)) continue;
    entry->kind = verdict.kind;
    if (verdict.word.back() == '[') return take_until(text, "]: mua=", &entry->detail);
    return take(text, ": mua=");
  }
  return false;
}

bool take_mua(string_view* text) {
  (void)take(text, "-");
  std::size_t length = 0;
  while (length < text->size() && is_digit((*text)[length])) ++length;
  if (length == 0) return false;
  text->remove_prefix(length);
  return true;
}

// Digits and exactly three dots: what an IPv4 address is made of, and an IPv6 one never.
bool is_ipv4_text(string_view text) {
  int dots = 0;
  for (const char c : text) {
    if (c == '.') {
      ++dots;
    } else if (!is_digit(c)) {
      return false;
    }
  }
  return dots == 3;
}

}  // namespace

std::optional<std::chrono::sys_days> parse_line_day(string_view line) {
  if (line.size() < kStampLength || line[4] != '-' || line[7] != '-' || line[10] != ' ') {
    return std::nullopt;
  }
  const int year = digits_at(line, 0, 4);
  const int month = digits_at(line, 5, 2);
  const int day = digits_at(line, 8, 2);
  if (year < 0 || month < 0 || day < 0 || !time_of_day_is_valid(line)) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days{date};
}

std::optional<ActivityEntry> parse_activity_line(string_view line) {
  const std::optional<std::chrono::sys_days> day = parse_line_day(line);
  if (!day) return std::nullopt;
  ActivityEntry entry;
  entry.day = *day;
  string_view text = line.substr(kStampLength);
  string_view address_and_host;
  string_view helo;
  if (!take_identity(&text) || !take_verdict(&text, &entry) || !take_mua(&text) ||
      !take(&text, ",ip=[") || !take_until(&text, "],helo=<", &address_and_host) ||
      !take_until(&text, ">,from=<", &helo) || !take_until(&text, ">,rcpt=<", &entry.sender) ||
      text.empty() || text.back() != '>') {
    return std::nullopt;
  }
  entry.peer = peer_address(address_and_host);
  return entry;
}

string_view peer_address(string_view address_and_host) {
  const std::size_t first = address_and_host.find(':');
  if (first == string_view::npos) return address_and_host;
  if (is_ipv4_text(address_and_host.substr(0, first))) return address_and_host.substr(0, first);
  return address_and_host.substr(0, address_and_host.rfind(':'));
}

string_view sender_domain(string_view sender, std::string* scratch) {
  if (sender.empty()) return "<>";
  const std::size_t at = sender.rfind('@');
  if (at == string_view::npos || at + 1 == sender.size()) return "(no domain)";
  const string_view domain = sender.substr(at + 1);
  const auto is_upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  if (std::none_of(domain.begin(), domain.end(), is_upper)) return domain;
  scratch->assign(domain);
  for (char& c : *scratch) {
    if (is_upper(c)) c = static_cast<char>(c - 'A' + 'a');
  }
  return *scratch;
}

}  // namespace korvex
