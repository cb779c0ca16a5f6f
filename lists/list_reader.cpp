// list_reader - line splitting for list and control files. See list_reader.h.
#include "lists/list_reader.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvex {

LineReader::Fill LineReader::fill_buffer() {
  ssize_t got;
  do {
    got = ::read(fd_, buffer_, sizeof buffer_);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    error_ = errno;
    return Fill::kError;
  }
  start_ = 0;
  end_ = static_cast<std::size_t>(got);
  return got == 0 ? Fill::kEnd : Fill::kData;
}

LineReader::Piece LineReader::read_piece(std::string* piece) {
  piece->clear();
  while (piece->size() < kListPieceSize) {
    if (start_ == end_) {
      const Fill fill = fill_buffer();
      if (fill == Fill::kError) return Piece::kError;
      if (fill == Fill::kEnd) break;
    }
    // Take what the buffer holds up to and including a line feed, within the piece's room.
    const char* from = buffer_ + start_;
    const std::size_t available = std::min(kListPieceSize - piece->size(), end_ - start_);
    const void* line_feed = std::memchr(from, '\n', available);
    const std::size_t taken =
        line_feed == nullptr ? available : static_cast<const char*>(line_feed) - from + 1;
    piece->append(from, taken);
    start_ += taken;
    if (line_feed != nullptr) break;
  }
  return piece->empty() ? Piece::kEnd : Piece::kData;
}

// Consumes the rest of a line whose first piece held no line feed. *was_last tells whether
// the file ended before any line feed, in which case the first piece is the entry.
bool LineReader::skip_over_long(std::string* first_piece, bool* was_last) {
  std::string more;
  for (;;) {
    const Piece piece = read_piece(&more);
    if (piece == Piece::kError) return false;
    if (piece == Piece::kEnd) {
      *was_last = true;
      return true;
    }
    if (more.back() == '\n') {
      *was_last = false;
      first_piece->clear();
      return true;
    }
  }
}

LineReader::Line LineReader::next(std::string* entry) {
  const Piece piece = read_piece(entry);
  if (piece == Piece::kError) return Line::kError;
  if (piece == Piece::kEnd) return Line::kEnd;
  ++lines_;
  if (entry->back() == '\n') {
    entry->pop_back();
    if (!entry->empty() && entry->back() == '\r') entry->pop_back();
    return Line::kEntry;
  }
  // No line feed: either the file's last line, kept as it stands, or an over-long line.
  if (entry->size() < kListPieceSize) return Line::kEntry;
  bool was_last = false;
  if (!skip_over_long(entry, &was_last)) return Line::kError;
  return was_last ? Line::kEntry : Line::kSkipped;
}

bool LineReader::copy_rest(std::string* out) {
  out->append(buffer_ + start_, end_ - start_);
  start_ = end_;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error_ = errno;
      return false;
    }
    if (got == 0) return true;
    out->append(buffer_, static_cast<std::size_t>(got));
  }
}

ListReadResult read_list_lines(LineReader& reader, const line_handler& handler) {
  ListReadResult result;
  std::string entry;
  while (reader.lines_read() < kListLineLimit) {
    const LineReader::Line line = reader.next(&entry);
    if (line == LineReader::Line::kEnd) break;
    if (line == LineReader::Line::kError) {
      result.failed = true;
      result.error = reader.error();
      break;
    }
    if (line == LineReader::Line::kSkipped) continue;
    const int verdict = handler(entry);
    if (verdict != 0) {
      result.stopped_by = verdict;
      break;
    }
  }
  result.lines = reader.lines_read();
  return result;
}

int read_list_path(const std::string& path, const line_handler& handler, int* lines_read) {
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return 0;
  LineReader reader(fd.get());
  // An unreadable file reads as empty, or as far as it could be read.
  const ListReadResult result = read_list_lines(reader, handler);
  if (lines_read != nullptr) *lines_read = result.lines;
  return result.stopped_by;
}

}  // namespace korvex
