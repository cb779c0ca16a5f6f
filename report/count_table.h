// count_table - counts by name for the report's tables, looked up by string_view without
// making a string. Open addressing over a power-of-two array of (hash, index) slots with
// the names and counts kept together in insertion order: a busy month looks up every
// refused peer and sender domain, and the standard map's chains and bucket division cost
// several times as much there.
//
// Exports: CountTable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvex {

class CountTable {
 public:
  using Entry = std::pair<std::string, std::uint64_t>;

  // add - count amount more for name.
  void add(std::string_view name, std::uint64_t amount = 1);

  // entries - every name with its count, in the order the names first came.
  const std::vector<Entry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t index = 0;  // into entries_, plus one; 0 for a free slot
  };

  void grow();

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
};

}  // namespace korvex
