// line_reader - buffered line input from the SMTP client. See line_reader.h.
#include "spp/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace korvex {

namespace {

constexpr std::size_t kReadChunk = 16384;

}  // namespace

line_reader::line_reader(int fd, std::size_t max_line, int timeout_seconds)
    : fd_(fd), max_line_(max_line), timeout_ms_(timeout_seconds * 1000) {}

read_status line_reader::read_line(std::string* line) {
  line->clear();
  for (;;) {
    const std::size_t newline = buffer_.find('\n', start_);
    if (newline != std::string::npos) return take_line(newline, line);
    if (buffer_.size() - start_ > max_line_ + 1) {
      // Keep memory bounded: forget the line so far and skip to its end.
      discarding_ = true;
      buffer_.clear();
      start_ = 0;
    }
    const read_status filled = fill();
    if (filled != read_status::line) return filled;
  }
}

read_status line_reader::take_line(std::size_t newline, std::string* line) {
  std::size_t length = newline - start_;
  if (length > 0 && buffer_[newline - 1] == '\r') --length;
  const bool overlong = discarding_ || length > max_line_;
  if (!overlong) line->assign(buffer_, start_, length);
  start_ = newline + 1;
  discarding_ = false;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return overlong ? read_status::too_long : read_status::line;
}

// fill - wait for the client and append what it sent; read_status::line means "got some".
read_status line_reader::fill() {
  if (start_ > 0) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  for (;;) {
    pollfd wanted{fd_, POLLIN, 0};
    const int ready = poll(&wanted, 1, timeout_ms_);
    if (ready == 0) return read_status::timeout;
    if (ready < 0) {
      if (errno == EINTR) continue;
      return read_status::error;
    }
    char chunk[kReadChunk];
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return read_status::error;
    }
    // A last line the client never ended is not a command; the session just ends.
    if (got == 0) return read_status::end;
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return read_status::line;
  }
}

}  // namespace korvex
