// log_text - safe log values and one-line logging. See log_text.h.
#include "support/log_text.h"

#include <cstdio>

namespace korvex {

std::string blank_control_bytes(std::string value) {
  for (char& c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = ' ';
  }
  return value;
}

void log_line(log_function log, int priority, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vlog_line(log, priority, format, arguments);
  va_end(arguments);
}

void vlog_line(log_function log, int priority, const char* format, va_list arguments) {
  if (log == nullptr) return;
  char text[1024];
  (void)std::vsnprintf(text, sizeof text, format, arguments);  // a longer line is cut
  log(priority, "%s", text);
}

}  // namespace korvex
