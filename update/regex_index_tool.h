// regex_index_tool - korvex-regex-index: rebuilds the index beside pattern lists, for
// administrators who edit a list by hand and for generated lists.
//
// Exports: regex_index_usage, regex_index_tool.
#pragma once

#include <cstdio>

namespace korvex {

// regex_index_usage - print the usage text to stream.
void regex_index_usage(std::FILE* stream, const char* program);

// regex_index_tool - the whole program: index every list named on the command line.
// Returns the exit status: 0 when every index was written, 1 on a usage error or when
// any list could not be indexed.
int regex_index_tool(int argc, char* argv[], std::FILE* out, std::FILE* err);

}  // namespace korvex
