// Fuzz target: the pattern-list index reader. The input is decoded as it stands (the
// checksum turns nearly everything away) and again sealed with a valid checksum, so that the
// structure checks behind it see arbitrary bytes too. Whatever decodes must hold together:
// ascending line numbers, texts and literals of believable length, literals inside the table.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lists/pattern_index.h"

namespace {

void check_decoded(const korvex::pattern_index& index) {
  int previous = 0;
  for (const korvex::pattern_record& record : index.records) {
    if (record.line_number <= previous || record.text.empty() ||
        record.text.size() >= korvex::kPatternLineSize ||
        record.error.size() >= korvex::kPatternErrorSize ||
        record.first_literal + record.literal_count > index.literals.size()) {
      __builtin_trap();
    }
    previous = record.line_number;
    for (std::size_t i = 0; i < record.literal_count; ++i) {
      if (index.literals[record.first_literal + i].empty()) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  korvex::pattern_index index;
  if (korvex::decode_pattern_index(input, &index)) check_decoded(index);
  const std::string sealed = korvex::__seal_pattern_index(input);
  if (korvex::decode_pattern_index(sealed, &index)) check_decoded(index);
  return 0;
}
