// korvex-bench-gen - writes the benchmark's data sets; see bench_data.h.
//
//   korvex-bench-gen [--small] [--published FILE] [--regex-index PROGRAM] DIRECTORY
//
// --small writes the miniature plan of the smoke test; --published names the lookup table
// whose expressions open the dynamic-host lists (without it, or when it cannot be read,
// the lists are all generated); --regex-index names a program run on each pattern list.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "bench/bench_data.h"

namespace {

int usage(const std::string& problem) {
  std::cerr << "korvex-bench-gen: " << problem << "\n"
            << "usage: korvex-bench-gen [--small] [--published FILE] [--regex-index PROGRAM]"
               " DIRECTORY\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool small = false;
  std::string published_path = KORVEX_PUBLISHED_LIST;
  std::string index_program = KORVEX_REGEX_INDEX;
  std::string directory;
  for (int index = 1; index < argc; ++index) {
    const std::string argument = argv[index];
    if (argument == "--small") {
      small = true;
    } else if ((argument == "--published" || argument == "--regex-index") && index + 1 < argc) {
      (argument == "--published" ? published_path : index_program) = argv[++index];
    } else if (!argument.empty() && argument.front() != '-' && directory.empty()) {
      directory = argument;
    } else {
      return usage("bad argument: " + argument);
    }
  }
  if (directory.empty()) return usage("no directory given");
  std::string published;
  std::ifstream in(published_path);
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    published = text.str();
  } else {
    std::cerr << "korvex-bench-gen: no published list at " << published_path
              << "; the dynamic-host lists are generated only\n";
  }
  std::string error;
  const auto plan = small ? korvex::bench::small_plan() : korvex::bench::full_plan();
  if (!korvex::bench::write_plan(plan, directory, published, index_program, &error)) {
    std::cerr << "korvex-bench-gen: " << error << "\n";
    return 1;
  }
  return 0;
}
