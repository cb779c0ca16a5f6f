// program_info - the answers every program of the suite gives to --help and --version,
// before it reads its own options.
//
// Exports: usage_printer, print_version, answer_info_request.
#pragma once

#include <cstdio>
#include <optional>

namespace korvex {

// A program's usage text, printed to stream for the invocation name program.
using usage_printer = void (*)(std::FILE* stream, const char* program);

// print_version - "<name> (Korvex) <version>" and a line end on stream.
void print_version(std::FILE* stream, const char* name);

// answer_info_request - when the only argument is "--help" or "--version", print the usage
// text or the version on standard output and return the exit status: 0, or 1 when standard
// output did not take the text. Any other command line: nothing printed, no status.
std::optional<int> answer_info_request(int argc, char* argv[], const char* name,
                                       usage_printer usage);

}  // namespace korvex
