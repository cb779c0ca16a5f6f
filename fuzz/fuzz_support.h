// fuzz_support - small helpers shared by the fuzz targets: a quiet log sink, a sink that
// keeps the formatted lines, a scratch directory per fuzzing process, writing an input into
// a file there, cutting an input into NUL-terminated pieces, and the argument vector and
// output stream the option parsers are handed.
#pragma once

#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace korvex_fuzz {

// quiet_log - a log sink that drops everything, so the fuzzer's output stays readable.
inline void quiet_log(int /*priority*/, const char* /*format*/, ...) {}

// A line handed to captured_log, formatted as the sink would print it.
struct logged_line {
  int priority;
  std::string text;
};

// captured_lines - what captured_log has received since the caller last cleared it.
inline std::vector<logged_line>& captured_lines() {
  static std::vector<logged_line> lines;
  return lines;
}

// captured_log - a log sink that formats each line (so every format and its arguments are
// exercised) and keeps it for the target to check.
__attribute__((format(printf, 2, 3))) inline void captured_log(int priority, const char* format,
                                                                ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  (void)std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  captured_lines().push_back({priority, std::move(text)});
}

// scratch_dir - a private directory made once per process; the fuzzer aborts without it.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    // TMPDIR lets scripts/fuzz put it where the run's scratch space is removed afterwards.
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                       "/korvex-fuzz-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return name;
  }();
  return dir;
}

// write_file - replace the file at path by the bytes; aborts when that fails, since a
// target reading stale content would report nonsense.
inline void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    std::abort();
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::write(fd, data + done, size - done);
    if (written <= 0) {
      std::perror(path.c_str());
      std::abort();
    }
    done += static_cast<std::size_t>(written);
  }
  if (::close(fd) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

// split_at_nul - the input as pieces separated by NUL bytes (the last piece may be empty).
inline std::vector<std::string> split_at_nul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> pieces(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(data[i]));
    }
  }
  return pieces;
}

// glibc's regcomp copies an expression under every "+" and count, and works out closures
// over every "*" and "?", so a repetition of a repetition - stacked ("a+*") or around a
// group - multiplies its cost, and nesting grows it exponentially; back-references make
// regexec backtrack. The lists are the vendor's or the administrator's data; a line that
// would only time the fuzzer out (or exhaust its memory) is not a finding about the code under
// test, so targets pass over inputs holding one. Six stacked repetitions ("*+++++", 32
// copies) already kept regcomp busy for minutes, so more than 16 copies count as costly.
inline bool costly_for_regcomp(const std::string& line) {
  constexpr double kMostCopies = 16;
  double copies = 1;
  bool repeats_repetition = false;  // the last thing read was a repetition or a group
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      if (i + 1 < line.size() && line[i + 1] >= '1' && line[i + 1] <= '9') return true;
      ++i;
      repeats_repetition = false;
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      // The larger bound of "{m}", "{m,}" or "{m,n}"; its digits are passed over.
      double bound = 0;
      for (double number = 0; c == '{' && i + 1 < line.size() && number <= kMostCopies; ++i) {
        const char next = line[i + 1];
        if (next == ',') {
          number = 0;
        } else if (next >= '0' && next <= '9') {
          number = number * 10 + (next - '0');
          bound = std::max(bound, number);
        } else {
          break;
        }
      }
      if (repeats_repetition) copies *= bound + 2;
      repeats_repetition = true;
    } else {
      repeats_repetition = c == ')';
    }
    if (copies > kMostCopies) return true;
  }
  return false;
}

// take_piece - the input's text up to the next NUL (or its end); moves past the NUL.
inline std::string take_piece(const std::uint8_t** data, std::size_t* size) {
  std::string piece;
  while (*size > 0 && **data != 0) {
    piece.push_back(static_cast<char>(**data));
    ++*data;
    --*size;
  }
  if (*size > 0) {
    ++*data;
    --*size;
  }
  return piece;
}

// argv_of - the argument vector getopt works on. getopt may permute the pointers, so each
// parser gets one of its own.
inline std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// null_stream - a stream that swallows what a parser prints.
inline std::FILE* null_stream() {
  static std::FILE* const stream = std::fopen("/dev/null", "w");
  if (stream == nullptr) std::abort();
  return stream;
}

}  // namespace korvex_fuzz
