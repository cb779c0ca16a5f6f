// locked_file - descriptor-level file access with an optional whole-file write lock; see
// locked_file.h.
#include "support/locked_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace korvex {

namespace {

// Closes the descriptor on every way out of file_read_all.
class descriptor_holder {
 public:
  explicit descriptor_holder(int descriptor) : descriptor_(descriptor) {}
  ~descriptor_holder() { (void)file_close(descriptor_); }
  descriptor_holder(const descriptor_holder&) = delete;
  descriptor_holder& operator=(const descriptor_holder&) = delete;
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

// Waits for a write lock over the whole file; the lock belongs to this process.
bool lock_whole_file(int descriptor) {
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;
  whole_file.l_start = 0;
  whole_file.l_len = 0;  // to the end, however far the file grows
  whole_file.l_pid = getpid();
  while (fcntl(descriptor, F_SETLKW, &whole_file) == -1) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int file_open_locked(const std::string& path, bool lock, int flags) {
  // Close-on-exec keeps descriptors (and so locks) out of the commands the tools run.
  const int descriptor = open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (descriptor == -1 || !lock) return descriptor;
  if (!lock_whole_file(descriptor)) {
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
  const auto* next = static_cast<const char*>(bytes);
  std::size_t left = length;
  while (left > 0) {
    const ssize_t written = write(descriptor, next, left);
    if (written == -1 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
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

std::optional<std::string> file_read_all(const std::string& path) {
  const descriptor_holder file(file_open_locked(path, false, O_RDONLY));
  if (file.get() == -1) return std::nullopt;
  // A directory can report an enormous size; it has no content to read anyway.
  struct stat status {};
  if (fstat(file.get(), &status) == -1 || S_ISDIR(status.st_mode)) return std::nullopt;
  // A file that cannot be seeked has no size to go by: never allocate from -1.
  const off_t size = file_size(file.get());
  if (size < 0 || !file_seek(file.get(), 0, SEEK_SET)) return std::nullopt;
  std::string content;
  try {
    content.resize(static_cast<std::size_t>(size));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t got = read(file.get(), content.data() + filled, content.size() - filled);
    if (got == -1 && errno == EINTR) continue;
    if (got == -1) return std::nullopt;
    if (got == 0) break;  // the file shrank since it was measured
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

}  // namespace korvex
