// qv_log - the support library's diagnostics layer.
//
// Every qv_ routine reports errors, and on demand a trace of its steps, through one
// process-wide sink with the shape of syslog(3). A program installs the sink it wants
// (normally syslog itself, right after openlog); until then every diagnostic is dropped.
// Debug lines appear only while VERBOSEDEBUG is present in the environment, which is
// consulted on every call so a program can switch tracing on and off as it runs.
//
// Exports: log_function, qv_logger, qv_set_logger, qv_log_info, qv_log_error,
// qv_log_debug, stderr_print, and the QV_ERROR / QV_DEBUG helpers that fill in the
// reporting routine's name and line.
#pragma once

namespace korvex {

// A sink with the shape of syslog: priority, printf-style format, arguments.
using log_function = void (*)(int priority, const char* format, ...);

// The installed sink; null until a program installs one.
extern log_function qv_logger;

// qv_set_logger - install (or, with null, remove) the process-wide sink.
void qv_set_logger(log_function sink);

// qv_log_info - informational line (priority 6) without location.
void qv_log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));

// qv_log_error - "<source>:<line> ERROR <function>(): <text>" at priority 3.
void qv_log_error(const char* function, const char* source, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// qv_log_debug - "<source>:<line> DEBUG <function>(): <text>" at priority 7, only while
// VERBOSEDEBUG is set.
void qv_log_debug(const char* function, const char* source, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// stderr_print - a ready-made sink that writes "DEBUG[<pid>]: <text>" lines to stderr.
void stderr_print(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace korvex

// Report from the calling routine, naming it and the module passed as the first argument.
#define QV_ERROR(module, ...) ::korvex::qv_log_error(__func__, module, __LINE__, __VA_ARGS__)
#define QV_DEBUG(module, ...) ::korvex::qv_log_debug(__func__, module, __LINE__, __VA_ARGS__)
