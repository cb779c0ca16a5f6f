// Fuzz target: checkRegexList's walk over a pattern list. Input: the list file, a NUL, then
// the subject (up to the next NUL). The logger keeps every line, and each must be one
// whole line of the walk: a compile warning (no line break inside) or the hit report, each
// for a line the walk really compiles, the line numbers rising in file order. The hit is
// the last line and reads exactly "hit [subject][pattern]": the subject with its control
// bytes blanked, as for every client value in the log, and the pattern as the walk read it
// from the file (a trailing carriage return kept, as the list format says). The result
// agrees with what was logged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/load_spp_env.h"
#include "plugin/checks/checks_internal.h"
#include "plugin/checks/reverse_dns.h"
#include "support/qv_log.h"

namespace {

// The walk reads through a 1024-byte buffer: a longer line arrives in pieces.
constexpr std::size_t kPieceBytes = 1023;

// The lines the walk compiles, by line number: each read piece up to its first NUL
// without one trailing newline, skipping empty and comment lines.
std::map<int, std::string> compiled_lines(const std::string& file) {
  std::map<int, std::string> lines;
  int number = 0;
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t end = start;
    while (end < file.size() && end - start < kPieceBytes && file[end] != '\n') ++end;
    if (end < file.size() && end - start < kPieceBytes) ++end;  // the newline is read too
    std::string piece = file.substr(start, end - start);
    start = end;
    ++number;
    piece.resize(std::min(piece.find('\0'), piece.size()));
    if (!piece.empty() && piece.back() == '\n') piece.pop_back();
    const std::size_t first = piece.find_first_not_of(" \t\n\v\f\r");
    if (piece.empty() || (first != std::string::npos && piece[first] == '#')) continue;
    lines[number] = piece;
  }
  return lines;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The line number that follows prefix in text and the rest after it, or -1.
int number_after(const std::string& text, const std::string& prefix, std::string* rest) {
  if (!starts_with(text, prefix)) return -1;
  std::size_t at = prefix.size();
  int number = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && number < 1000000) {
    number = number * 10 + (text[at++] - '0');
  }
  if (at == prefix.size()) return -1;
  *rest = text.substr(at);
  return number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  const std::uint8_t* split = std::find(data, data + size, std::uint8_t{0});
  const std::string file(reinterpret_cast<const char*>(data), split - data);
  std::string subject;
  if (split != data + size) {
    const std::uint8_t* after = split + 1;
    subject.assign(reinterpret_cast<const char*>(after),
                   std::find(after, data + size, std::uint8_t{0}) - after);
  }
  const std::map<int, std::string> lines = compiled_lines(file);
  for (const auto& [number, line] : lines) {
    if (korvex_fuzz::costly_for_regcomp(line)) return 0;
  }
  const std::string path = korvex_fuzz::scratch_dir() + "/patterns";
  korvex_fuzz::write_file(path, data, file.size());

  korvex_fuzz::captured_lines().clear();
  korvex::CheckContext checks;
  checks.system_log = korvex_fuzz::quiet_log;
  const int result = korvex::checkRegexList(checks, path, subject, korvex_fuzz::captured_log);

  const std::string warning = "Warning: checkRegexList(" + path + "): regcomp(line ";
  const std::string hit = "checkRegexList(" + path + ", line ";
  int last_number = 0;
  bool warned = false;
  bool matched = false;
  for (const korvex_fuzz::logged_line& line : korvex_fuzz::captured_lines()) {
    if (matched) __builtin_trap();  // nothing follows the hit
    std::string rest;
    int number = number_after(line.text, warning, &rest);
    if (number > 0) {
      if (!starts_with(rest, "): ") || rest.size() == 3) __builtin_trap();
      if (line.text.find_first_of("\r\n") != std::string::npos) __builtin_trap();
      warned = true;
    } else {
      number = number_after(line.text, hit, &rest);
      if (number <= 0 || lines.count(number) == 0) __builtin_trap();
      if (rest != "): hit [" + korvex::blank_control_bytes(subject) + "][" + lines.at(number) + "]") __builtin_trap();
      matched = true;
    }
    if (number <= last_number || lines.count(number) == 0) __builtin_trap();
    last_number = number;
  }
  if (result != (matched ? 1 : warned ? -1 : 0)) __builtin_trap();
  return 0;
}
