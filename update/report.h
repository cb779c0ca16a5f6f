// report - the updaters' messages on standard output and standard error.
//
// Exports: report.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace korvex {

// report - print a message; a terminal that cannot take it leaves nobody else to tell.
__attribute__((format(printf, 2, 3))) inline void report(std::FILE* stream, const char* format,
                                                         ...) {
  va_list args;
  va_start(args, format);
  (void)std::vfprintf(stream, format, args);
  va_end(args);
}

}  // namespace korvex
