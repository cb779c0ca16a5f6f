// qv_log - diagnostics layer of the support library: formatting, the 254-character cut
// and the VERBOSEDEBUG switch. See qv_log.h.
#include "support/qv_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvex {

log_function qv_logger = nullptr;

namespace {

// Texts are formatted into a zeroed 256-byte buffer with room for 254 characters and the
// terminator; the location prefix is added by the sink and is not subject to the cut.
constexpr std::size_t kMessageBuffer = 256;
constexpr std::size_t kMessageLimit = 255;

struct Message {
  char text[kMessageBuffer] = {};
};

void format_message(Message& message, const char* format, va_list args) {
  // A text longer than the buffer is cut; the length it would have had is of no use.
  (void)std::vsnprintf(message.text, kMessageLimit, format, args);
}

void log_located(int priority, const char* label, const char* function, const char* source,
                 int line, const char* format, va_list args) {
  Message message;
  format_message(message, format, args);
  qv_logger(priority, label, source, line, function, message.text);
}

}  // namespace

void qv_set_logger(log_function sink) { qv_logger = sink; }

void qv_log_info(const char* format, ...) {
  if (format == nullptr || qv_logger == nullptr) return;
  Message message;
  va_list args;
  va_start(args, format);
  format_message(message, format, args);
  va_end(args);
  qv_logger(6, "%s", message.text);
}

void qv_log_error(const char* function, const char* source, int line, const char* format, ...) {
  if (format == nullptr || function == nullptr || qv_logger == nullptr) return;
  va_list args;
  va_start(args, format);
  log_located(3, "%s:%d ERROR %s(): %s", function, source, line, format, args);
  va_end(args);
}

void qv_log_debug(const char* function, const char* source, int line, const char* format, ...) {
  // The sink test first: it is free, while the environment walk is paid on every call.
  if (format == nullptr || function == nullptr || qv_logger == nullptr) return;
  if (std::getenv("VERBOSEDEBUG") == nullptr) return;
  va_list args;
  va_start(args, format);
  log_located(7, "%s:%d DEBUG %s(): %s", function, source, line, format, args);
  va_end(args);
}

void stderr_print(int /*priority*/, const char* format, ...) {
  // The caller's format becomes part of a new one so its arguments still apply.
  std::string line_format;
  try {
    line_format = "DEBUG[" + std::to_string(getpid()) + "]: " + (format ? format : "");
  } catch (...) {
    (void)std::fputs("ERROR: stderr_print(): out of memory!\n", stderr);
    return;
  }
  while (!line_format.empty() && line_format.back() == '\n') line_format.pop_back();
  va_list args;
  va_start(args, format);
  // Diagnostics have nowhere else to go when standard error fails.
  (void)std::vfprintf(stderr, line_format.c_str(), args);
  va_end(args);
  (void)std::fputc('\n', stderr);
}

}  // namespace korvex
