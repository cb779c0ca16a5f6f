// rejmsg_print - the administrator-facing messages of the rejection message code, written
// on standard error.
//
// Exports: rejmsg_error.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace korvex {

// rejmsg_error - print one diagnostic on standard error.
__attribute__((format(printf, 1, 2))) inline void rejmsg_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Standard error is where diagnostics end; there is nowhere to report its failure.
  (void)std::vfprintf(stderr, format, args);
  va_end(args);
}

}  // namespace korvex
