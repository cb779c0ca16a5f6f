// Fuzz target: the pattern-list index reader. The input is read as an index two ways: the
// whole decode used by tools and tests, and the partial reads of a matcher run (header,
// lines tried on every subject, lines filed under the pieces of a subject taken from the
// input's tail, their records and literals). Whatever is read must hold together.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "patterns/pattern_index.h"

namespace {

void check_record(const korvex::pattern_record& record, std::size_t literals) {
  if (record.line_number <= 0 || record.text.empty() ||
      record.text.size() >= korvex::kPatternLineSize ||
      record.error.size() >= korvex::kPatternErrorSize ||
      record.first_literal + record.literal_count > literals) {
    __builtin_trap();
  }
}

void check_decoded(const korvex::pattern_index& index) {
  int previous = 0;
  for (const korvex::pattern_record& record : index.records) {
    check_record(record, index.literals.size());
    if (record.line_number <= previous) __builtin_trap();
    previous = record.line_number;
  }
  for (const std::string_view literal : index.literals) {
    if (literal.empty()) __builtin_trap();
  }
}

void read_as_a_run(std::string_view input) {
  korvex::pattern_index_view view;
  if (!view.open(input)) return;
  std::vector<std::uint64_t> marks;
  const std::string_view subject = input.substr(input.size() > 64 ? input.size() - 64 : 0);
  if (!view.candidates(subject, &marks)) return;
  for (std::size_t id = 0; id < view.record_count(); ++id) {
    if ((marks[id / 64] >> (id % 64) & 1) == 0) continue;
    korvex::pattern_record record;
    if (!view.record(id, &record)) continue;
    check_record(record, view.literal_count());
    for (std::size_t n = 0; n < record.literal_count; ++n) {
      std::string_view literal;
      if (view.literal(record.first_literal + n, &literal) && literal.empty()) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvex::pattern_index index;
  if (korvex::decode_pattern_index(input, &index)) check_decoded(index);
  read_as_a_run(input);
  return 0;
}
