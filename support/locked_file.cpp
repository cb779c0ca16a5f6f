// locked_file - descriptor-level file access with an optional whole-file write lock; see
// locked_file.h.
#include "support/locked_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "support/file_io.h"

namespace korvex {

int file_open_locked(const std::string& path, bool lock, int flags) {
  // Close-on-exec keeps descriptors (and so locks) out of the commands the tools run.
  const int descriptor = open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (descriptor == -1 || !lock) return descriptor;
  if (!lock_whole_file(descriptor, lock_kind::record_write_wait)) {
    const int lock_error = errno;
    (void)close(descriptor);
    errno = lock_error;
    return -1;
  }
  return descriptor;
}

bool file_close(int descriptor) { return descriptor == -1 || close(descriptor) == 0; }

bool file_write_all(int descriptor, const void* bytes, std::size_t length) {
  if (descriptor == -1 || bytes == nullptr || length == 0) return false;
  return write_all(descriptor, std::string_view(static_cast<const char*>(bytes), length));
}

bool file_read_exact(int descriptor, void* buffer, std::size_t length) {
  if (descriptor == -1 || buffer == nullptr || length == 0) return false;
  auto* next = static_cast<char*>(buffer);
  std::size_t left = length;
  while (left > 0) {
    const ssize_t got = read(descriptor, next, left);
    if (got == -1 && errno == EINTR) continue;
    if (got <= 0) return false;
    next += got;
    left -= static_cast<std::size_t>(got);
  }
  return true;
}

bool file_seek(int descriptor, off_t offset, int origin) {
  return descriptor != -1 && lseek(descriptor, offset, origin) != -1;
}

off_t file_size(int descriptor) {
  if (descriptor == -1) return 0;
  return lseek(descriptor, 0, SEEK_END);
}

bool file_truncate_here(int descriptor) {
  if (descriptor == -1) return false;
  const off_t here = lseek(descriptor, 0, SEEK_CUR);
  return here != -1 && ftruncate(descriptor, here) == 0;
}

std::optional<std::string> file_read_all(const std::string& path) { return read_whole_file(path); }

}  // namespace korvex
