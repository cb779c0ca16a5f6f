// line_reader - buffered line input from the SMTP client.
//
// The reader pulls whatever the client has sent into one buffer and hands it out a line
// at a time, so commands a pipelining client sends in one packet are answered in order
// and nothing is lost between commands, the message text and an AUTH continuation.
// Lines end at LF; a CR before it is dropped. A line longer than the limit is consumed
// whole and reported as too long rather than split.
//
// Exports: read_status, line_reader.
#pragma once

#include <cstddef>
#include <string>

namespace korvex {

enum class read_status { line, too_long, end, timeout, error };

class line_reader {
 public:
  // line_reader - read from fd, lines up to max_line bytes, waiting at most timeout_seconds
  // for the client to send more.
  line_reader(int fd, std::size_t max_line, int timeout_seconds);

  // read_line - the next line without its line end; anything but read_status::line leaves
  // *line empty.
  read_status read_line(std::string* line);

  // has_buffered - input already read and waiting; the caller may answer it before
  // flushing its replies.
  bool has_buffered() const { return start_ < buffer_.size(); }

 private:
  read_status fill();
  read_status take_line(std::size_t newline, std::string* line);

  int fd_;
  std::size_t max_line_;
  int timeout_ms_;
  std::string buffer_;
  std::size_t start_ = 0;
  bool discarding_ = false;  // inside an overlong line, dropping input up to its end
};

}  // namespace korvex
