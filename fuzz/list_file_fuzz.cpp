// Fuzz target: the administrator list files - the line reader under every list, and
// session_in_list matching a session against each of the five lists. The first input line
// is the session (ip, sender, recipient separated by NUL); the rest is the list file.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lists/list_files.h"
#include "lists/list_paths.h"
#include "lists/list_reader.h"
#include "support/qv_log.h"

namespace {

std::optional<std::string> piece_or_none(const std::vector<std::string>& pieces, std::size_t i) {
  if (i >= pieces.size()) return std::nullopt;
  return pieces[i];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  std::size_t split = 0;
  while (split < size && data[split] != '\n') ++split;
  const std::vector<std::string> session = korvex_fuzz::split_at_nul(data, split);
  const std::uint8_t* body = data + (split < size ? split + 1 : size);
  const std::size_t body_size = size - (split < size ? split + 1 : size);

  // Wildcard entries with other expression characters go to regcomp: pass over entries whose
  // stacked repetitions would only exhaust the fuzzer's time or memory there.
  std::size_t line_start = 0;
  while (line_start < body_size) {
    std::size_t line_end = line_start;
    while (line_end < body_size && body[line_end] != '\n') ++line_end;
    const std::string line(reinterpret_cast<const char*>(body) + line_start, line_end - line_start);
    if (korvex_fuzz::costly_for_regcomp(line)) return 0;
    line_start = line_end + 1;
  }

  const std::string& dir = korvex_fuzz::scratch_dir();
  for (int id = korvex::kFromWhitelistList; id <= korvex::kBlockedFromList; ++id) {
    const std::optional<std::string> path = korvex::list_file_path(dir, id);
    if (!path) __builtin_trap();
    korvex_fuzz::write_file(*path, body, body_size);
  }

  int lines = 0;
  (void)korvex::read_list_path(
      *korvex::list_file_path(dir, korvex::kFromWhitelistList),
      [](const std::string& entry) { return entry.size() > korvex::kListPieceSize ? 1 : 0; },
      &lines);
  if (lines > korvex::kListLineLimit) __builtin_trap();

  for (int id = korvex::kFromWhitelistList; id <= korvex::kBlockedFromList; ++id) {
    (void)korvex::session_in_list(piece_or_none(session, 0), piece_or_none(session, 1),
                                  piece_or_none(session, 2), id, dir);
  }
  return 0;
}
