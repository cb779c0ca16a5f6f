// activity_tally - counting activity lines. See activity_tally.h.
#include "report/activity_tally.h"

#include "report/activity_entry.h"

namespace korvex {

namespace {

void count(CountTable* table, std::string_view name) { table->add(name); }

void merge_table(const CountTable& from, CountTable* into) {
  for (const auto& [name, amount] : from.entries()) into->add(name, amount);
}

void note_unparsed(ActivityTally* tally, const std::string& file, std::size_t line_number) {
  if (tally->unparsed_lines++ != 0) return;
  tally->first_unparsed_file = file;
  tally->first_unparsed_line = line_number;
}

}  // namespace

void TallySink::line(std::string_view text, std::size_t line_number) {
  // Most lines of older files fall outside the period: their stamp is enough.
  const std::optional<std::chrono::sys_days> day = parse_line_day(text);
  if (day && !tally_->period.contains(*day)) return;
  const std::optional<ActivityEntry> entry = parse_activity_line(text);
  if (!entry) return note_unparsed(tally_, file_, line_number);
  DayCounts& counts =
      tally_->days[static_cast<std::size_t>((entry->day - tally_->period.first).count())];
  switch (entry->kind) {
    case EntryKind::kHam:
      ++counts.ham;
      break;
    case EntryKind::kExempt:
      ++counts.exempt;
      break;
    case EntryKind::kSpam:
      ++counts.spam;
      count(&tally_->refusals, entry->detail);
      count(&tally_->refused_peers, entry->peer);
      count(&tally_->refused_domains, sender_domain(entry->sender, &scratch_));
      break;
    case EntryKind::kReportOnly:
      count(&tally_->report_only, entry->detail);
      break;
    case EntryKind::kDeferral:
      count(&tally_->deferrals, entry->detail);
      break;
  }
}

void merge_tally(const ActivityTally& from, ActivityTally* into) {
  for (std::size_t index = 0; index < into->days.size() && index < from.days.size(); ++index) {
    into->days[index].ham += from.days[index].ham;
    into->days[index].spam += from.days[index].spam;
    into->days[index].exempt += from.days[index].exempt;
  }
  merge_table(from.refusals, &into->refusals);
  merge_table(from.report_only, &into->report_only);
  merge_table(from.deferrals, &into->deferrals);
  merge_table(from.refused_peers, &into->refused_peers);
  merge_table(from.refused_domains, &into->refused_domains);
  if (from.unparsed_lines != 0 && into->unparsed_lines == 0) {
    into->first_unparsed_file = from.first_unparsed_file;
    into->first_unparsed_line = from.first_unparsed_line;
  }
  into->unparsed_lines += from.unparsed_lines;
}

}  // namespace korvex
