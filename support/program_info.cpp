// program_info - the --help and --version answers of the suite's programs.
#include "support/program_info.h"

#include <cerrno>
#include <cstring>

#include "korvex_version.h"

namespace korvex {

void print_version(std::FILE* stream, const char* name) {
  (void)std::fprintf(stream, "%s (Korvex) %s\n", name, KORVEX_VERSION);
}

std::optional<int> answer_info_request(int argc, char* argv[], const char* name,
                                       usage_printer usage) {
  if (argc != 2) return std::nullopt;
  const char* program = argv[0] != nullptr ? argv[0] : name;
  if (std::strcmp(argv[1], "--help") == 0) {
    usage(stdout, program);
  } else if (std::strcmp(argv[1], "--version") == 0) {
    print_version(stdout, name);
  } else {
    return std::nullopt;
  }
  // A reader that went away or a full disk must not look like an answer given.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    (void)std::fprintf(stderr, "%s: cannot write to standard output: %s\n", name,
                       std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace korvex
