// unique_fd - owning holder for a file descriptor, closed when dropped or reset.
//
// Exports: unique_fd (move-only; closes its descriptor when dropped or reset, or on request
// with the close's outcome).
#pragma once

#include <unistd.h>

#include <utility>

namespace korvex {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // release - give up ownership without closing.
  int release() { return std::exchange(fd_, -1); }

  // close_checked - close now and say whether the close succeeded (errno tells why not):
  // for a file just written, whose close can report a lost write.
  bool close_checked() { return fd_ < 0 || ::close(release()) == 0; }

  // reset - close the held descriptor and hold fd instead; a failed close goes unnoticed
  // (see close_checked).
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace korvex
