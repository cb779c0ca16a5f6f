// check_tool - korvex-check: check the whole installation, print one line per problem with
// what to do about it, and tell by the exit status whether there was any.
//
// Exports: kCheckClean, kCheckProblems, kCheckUsage, check_usage, check_tool.
#pragma once

#include <cstdio>

namespace korvex {

inline constexpr int kCheckClean = 0;     // no problem found
inline constexpr int kCheckProblems = 1;  // at least one problem found
inline constexpr int kCheckUsage = 2;     // bad command line, or the report could not be written

// check_usage - the usage text.
void check_usage(std::FILE* stream);

// check_tool - the whole program; returns its exit status.
int check_tool(int argc, char* argv[], std::FILE* out, std::FILE* err);

}  // namespace korvex
