// log_capture - a sink for tests: installs itself as qv_logger (and can be handed to code
// that takes a log_function) and records every line with its priority.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "support/qv_log.h"

namespace korvex::testing {

struct LoggedLine {
  int priority;
  std::string text;
  bool operator==(const LoggedLine&) const = default;
};

inline std::vector<LoggedLine>& captured_lines() {
  static std::vector<LoggedLine> lines;
  return lines;
}

__attribute__((format(printf, 2, 3))) inline void capture_sink(int priority, const char* format,
                                                                ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  captured_lines().push_back({priority, std::move(text)});
}

// Installs the capturing sink for the lifetime of the object and removes it afterwards.
class LogCapture {
 public:
  LogCapture() {
    captured_lines().clear();
    qv_set_logger(capture_sink);
  }
  ~LogCapture() {
    qv_set_logger(nullptr);
    captured_lines().clear();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<LoggedLine>& lines() const { return captured_lines(); }
  std::vector<std::string> texts() const {
    std::vector<std::string> result;
    for (const auto& line : captured_lines()) result.push_back(line.text);
    return result;
  }
  void clear() { captured_lines().clear(); }
};

// Sets or removes VERBOSEDEBUG for the lifetime of the object.
class VerboseDebug {
 public:
  explicit VerboseDebug(bool on = true) {
    if (on) {
      setenv("VERBOSEDEBUG", "", 1);
    } else {
      unsetenv("VERBOSEDEBUG");
    }
  }
  ~VerboseDebug() { unsetenv("VERBOSEDEBUG"); }
  VerboseDebug(const VerboseDebug&) = delete;
  VerboseDebug& operator=(const VerboseDebug&) = delete;
};

}  // namespace korvex::testing
