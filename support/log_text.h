// log_text - lines fit for the system log: client-supplied values made safe to place inside
// one line, and one formatted line handed to a syslog-shaped sink.
//
// Exports: blank_control_bytes, log_line, vlog_line.
#pragma once

#include <cstdarg>
#include <string>

#include "support/qv_log.h"

namespace korvex {

// blank_control_bytes - a client-supplied value with every control byte (CR, LF, tab and
// the rest below 0x20, and DEL) turned into a blank, fit to be placed inside one line.
std::string blank_control_bytes(std::string value);

// log_line - format one line (cut at 1023 bytes) and hand it to log; nothing when log is null.
void log_line(log_function log, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// vlog_line - log_line with the arguments as a va_list.
void vlog_line(log_function log, int priority, const char* format, va_list arguments);

}  // namespace korvex
