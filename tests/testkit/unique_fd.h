// unique_fd - owning holder for a file descriptor, shared by the test harness modules.
//
// Exports: UniqueFd (move-only; closes its descriptor when dropped or reset).
#pragma once

#include <unistd.h>

#include <utility>

namespace korvex::testing {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // release - give up ownership without closing.
  int release() { return std::exchange(fd_, -1); }

  // reset - close the held descriptor (a failing close has nothing left to undo) and hold fd.
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace korvex::testing
