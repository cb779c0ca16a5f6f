// regex_index_tool - korvex-regex-index's logic: parse the command line, write the index of
// each list, read it back to make sure it decodes, and say what it holds.
//
// Exports: see regex_index_tool.h.

#include "update/regex_index_tool.h"

#include <getopt.h>

#include <cstddef>
#include <string>

#include "patterns/pattern_index.h"
#include "update/report.h"

namespace korvex {
namespace {

struct index_counts {
  std::size_t lines = 0;
  std::size_t filtered = 0;
  std::size_t failing = 0;
};

index_counts count_records(const pattern_index& index) {
  index_counts counts;
  counts.lines = index.records.size();
  for (const pattern_record& record : index.records) {
    if (record.kind == pattern_kind::filtered) ++counts.filtered;
    if (record.kind == pattern_kind::fails) ++counts.failing;
  }
  return counts;
}

// Index one list; true when its index is in place and reads back.
bool index_one(const std::string& list, const char* program, std::FILE* out, std::FILE* err) {
  const std::string index_path = pattern_index_path(list);
  std::string problem;
  if (!write_pattern_index(list, index_path, &problem)) {
    report(err, "%s: %s\n", program, problem.c_str());
    return false;
  }
  std::string bytes;
  pattern_index index;
  if (!load_pattern_index(index_path, &bytes, &index)) {
    report(err, "%s: %s does not read back\n", program, index_path.c_str());
    return false;
  }
  const index_counts counts = count_records(index);
  report(out, "%s: %zu expressions, %zu with a filter, %zu not compiling\n", index_path.c_str(),
         counts.lines, counts.filtered, counts.failing);
  return true;
}

}  // namespace

void regex_index_usage(std::FILE* stream, const char* program) {
  report(stream,
         "Usage: %s [-h] LIST...\n"
         "Rebuilds LIST.index beside each pattern list LIST, so that korvex-plesk can pass\n"
         "over the expressions that cannot match a host name instead of compiling them all.\n"
         "Run it after editing a list by hand; regexpull rebuilds the index of the lists it\n"
         "installs. Exit status 0 when every index was written, 1 otherwise.\n",
         program);
}

int regex_index_tool(int argc, char* argv[], std::FILE* out, std::FILE* err) {
  optind = 0;  // full re-initialisation, so the parser can run more than once
  for (int option = 0; (option = ::getopt(argc, argv, "h")) != -1;) {
    if (option == 'h') {
      regex_index_usage(out, argv[0]);
      return 0;
    }
    regex_index_usage(err, argv[0]);
    return 1;
  }
  if (optind >= argc) {
    regex_index_usage(err, argv[0]);
    return 1;
  }
  bool all_written = true;
  for (int arg = optind; arg < argc; ++arg) {
    all_written = index_one(argv[arg], argv[0], out, err) && all_written;
  }
  return all_written ? 0 : 1;
}

}  // namespace korvex
