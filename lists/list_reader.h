// list_reader - the one reader under every read, match and rewrite of a list or control
// file.
//
// A line is taken in pieces of at most 1023 bytes: the line feed is removed and then one
// carriage return before it. A line of more than 1022 bytes is skipped whole, unless it is
// the last one and the file ends before its line feed; then its first 1023 bytes are an
// entry. Only the first 500 physical lines count, blank ones included, and blank lines are
// handed on like any other (the callers decide what a blank line means).
//
// Exports: kListLineLimit, kListPieceSize, line_handler, LineReader,
// ListReadResult, read_list_lines, read_list_path.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>

#include "support/unique_fd.h"

namespace korvex {

// Physical lines of a file that are ever considered.
inline constexpr int kListLineLimit = 500;
// Longest piece of a line taken at once; a line longer than one piece is skipped.
inline constexpr std::size_t kListPieceSize = 1023;

// Receives one entry; 0 to go on, any other value stops the reading with that value.
using line_handler = std::function<int(const std::string& entry)>;

// Splits a descriptor's bytes into list lines.
class LineReader {
 public:
  enum class Line { kEntry, kSkipped, kEnd, kError };

  // buffer_ is left as it is (see there).
  // cppcheck-suppress uninitMemberVar
  explicit LineReader(int fd) : fd_(fd) {}

  // next - the next physical line: an entry, a skipped over-long line, the end, or a read
  // error (errno in error()).
  Line next(std::string* entry);
  // lines_read - physical lines taken so far.
  int lines_read() const { return lines_; }
  // error - errno of the failed read after kError.
  int error() const { return error_; }
  // copy_rest - append every byte not yet taken to out; false on a read error.
  bool copy_rest(std::string* out);

 private:
  enum class Piece { kData, kEnd, kError };
  enum class Fill { kData, kEnd, kError };

  Fill fill_buffer();
  Piece read_piece(std::string* piece);
  bool skip_over_long(std::string* first_piece, bool* was_last);

  int fd_;
  // Large enough for a full list of ordinary entries in one read. Not zeroed: only bytes a
  // read put there are ever looked at, and zeroing would touch every page of it on every
  // run of the plugin, which reads five lists.
  char buffer_[16384];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  int lines_ = 0;
  int error_ = 0;
};

// Outcome of reading one file with a handler.
struct ListReadResult {
  int stopped_by = 0;   // the handler's stopping value, or 0
  int lines = 0;        // physical lines taken
  bool failed = false;  // a read error ended the reading early
  int error = 0;        // errno of that read error
};

// read_list_lines - hand each entry of the first 500 lines to the handler.
ListReadResult read_list_lines(LineReader& reader, const line_handler& handler);

// read_list_path - read the file at path with the handler: the handler's stopping value or
// 0; a file that cannot be opened reads as empty and leaves *lines_read alone.
int read_list_path(const std::string& path, const line_handler& handler, int* lines_read);

}  // namespace korvex
