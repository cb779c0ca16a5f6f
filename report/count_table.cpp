// count_table - the open-addressing count table. See count_table.h.
#include "report/count_table.h"

#include <functional>

namespace korvex {

namespace {

constexpr std::size_t kFirstCapacity = 64;

}  // namespace

void CountTable::add(std::string_view name, std::uint64_t amount) {
  // At most half full, so that probe runs stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const std::uint64_t hash = std::hash<std::string_view>{}(name);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.index == 0) {
      entries_.emplace_back(std::string(name), amount);
      slot = {hash, static_cast<std::uint32_t>(entries_.size())};
      return;
    }
    if (slot.hash == hash && entries_[slot.index - 1].first == name) {
      entries_[slot.index - 1].second += amount;
      return;
    }
  }
}

void CountTable::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? kFirstCapacity : old.size() * 2, Slot{});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.index == 0) continue;
    std::size_t at = slot.hash & mask;
    while (slots_[at].index != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

}  // namespace korvex
