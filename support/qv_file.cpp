// qv_file - checked file I/O and whole-file write locks. See qv_file.h.
#include "support/qv_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/file_io.h"
#include "support/qv_log.h"
#include "support/qv_stringutils.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_file";
constexpr mode_t kCreateMode = 0666;
constexpr const char* kDefaultTmpDir = "/tmp";

// Microseconds left until deadline on the monotonic clock; never negative.
std::uint64_t usec_left(const timespec& deadline) {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
  const std::int64_t left = (static_cast<std::int64_t>(deadline.tv_sec) - now.tv_sec) * 1000000 +
                            (deadline.tv_nsec - now.tv_nsec) / 1000;
  return left > 0 ? static_cast<std::uint64_t>(left) : 0;
}

timespec deadline_after(std::uint64_t usec) {
  timespec deadline{};
  (void)clock_gettime(CLOCK_MONOTONIC, &deadline);  // cannot fail for CLOCK_MONOTONIC
  deadline.tv_sec += static_cast<time_t>(usec / 1000000);
  deadline.tv_nsec += static_cast<long>(usec % 1000000) * 1000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  return deadline;
}

// Wait until fd is readable (or at end of file, or in error, which read() then reports)
// or the deadline passes. 1 readable, 0 time-out, -1 wait failed.
int wait_readable(int fd, const timespec& deadline) {
  for (;;) {
    const std::uint64_t left = usec_left(deadline);
    const timespec wait{static_cast<time_t>(left / 1000000),
                        static_cast<long>(left % 1000000) * 1000};
    pollfd watched{fd, POLLIN, 0};
    const int ready = ppoll(&watched, 1, &wait, nullptr);
    if (ready > 0) return 1;
    if (ready == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

int qv_open(const char* path, bool lock, int flags) {
  if (path == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return -1;
  }
  QV_DEBUG(kModule, "POSIX mode");
  const int fd = open(path, flags, kCreateMode);
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return -1;
  }
  if (!lock) return fd;
  QV_DEBUG(kModule, "request for lock");
  if (!lock_whole_file(fd, lock_kind::record_write_wait)) {
    const int lock_error = errno;
    (void)close(fd);  // the lock failure is what gets reported
    QV_ERROR(kModule, "request for lock %s", std::strerror(lock_error));
    return -1;
  }
  return fd;
}

int qv_close(int fd) {
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  if (close(fd) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return 0;
  }
  return 1;
}

int qv_write(int fd, const void* bytes, std::size_t length) {
  if (bytes == nullptr || fd == -1 || length == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  const char* next = static_cast<const char*>(bytes);
  std::size_t left = length;
  for (;;) {
    const std::size_t chunk = std::min(left, kQvFileChunk);
    QV_DEBUG(kModule, "%zu bytes left to write", left);
    QV_DEBUG(kModule, "Attempting to write %zu bytes", chunk);
    const ssize_t written = write(fd, next, chunk);
    if (written < 0) {
      QV_ERROR(kModule, "%s", std::strerror(errno));
      return 0;
    }
    QV_DEBUG(kModule, "wrote %zd bytes", written);
    const auto done = static_cast<std::size_t>(written);
    if (done == left) return 1;
    next += done;
    left -= done;
  }
}

int qv_read(int fd, void* buffer, std::size_t length) {
  if (buffer == nullptr || fd == -1 || length == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  char* next = static_cast<char*>(buffer);
  std::size_t left = length;
  while (left > 0) {
    const std::size_t chunk = std::min(left, kQvFileChunk);
    QV_DEBUG(kModule, "%zu bytes remaining to read", left);
    QV_DEBUG(kModule, "attempting to read %zu bytes in one block", chunk);
    const ssize_t got = read(fd, next, chunk);
    if (got < 0) {
      QV_ERROR(kModule, "%s", std::strerror(errno));
      return 0;
    }
    QV_DEBUG(kModule, "read %zd bytes", got);
    const auto done = static_cast<std::size_t>(got);
    next += done;
    left -= done;
    if (done < chunk) break;  // end of file: a short file is not an error
  }
  return 1;
}

int qv_read_nonblock(int fd, void* buffer, std::size_t length, std::uint64_t limit_usec,
                     int* timed_out, std::size_t* count) {
  if (buffer == nullptr || fd == -1 || limit_usec == 0 || length == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  // One deadline for all passes: the limit covers the whole call, not each wait.
  const timespec deadline = deadline_after(limit_usec);
  char* next = static_cast<char*>(buffer);
  std::size_t left = length;
  std::size_t total = 0;
  std::size_t chunk = 0;
  ssize_t got = 0;
  do {
    const int ready = wait_readable(fd, deadline);
    if (ready < 0) {
      QV_ERROR(kModule, "%s", std::strerror(errno));
      return 0;
    }
    if (ready == 0) {
      QV_DEBUG(kModule, "no data ready to read within %lu microseconds",
               static_cast<unsigned long>(limit_usec));
      if (timed_out != nullptr) *timed_out = 1;
      // Bytes already taken from a pipe or socket cannot be put back: say how many.
      if (count != nullptr) *count = total;
      return 0;
    }
    chunk = std::min(left, kQvFileChunk);
    got = read(fd, next, chunk);
    if (got < 0) {
      QV_ERROR(kModule, "%s", std::strerror(errno));
      return 0;
    }
    QV_DEBUG(kModule, "read %zd bytes", got);
    total += static_cast<std::size_t>(got);
    next += got;
    left -= static_cast<std::size_t>(got);
  } while (static_cast<std::size_t>(got) == chunk && left > 0);
  if (count != nullptr) *count = total;
  return 1;
}

int qv_seek(int fd, off_t offset, int whence) {
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  if (lseek(fd, offset, whence) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return 0;
  }
  QV_DEBUG(kModule, "successfully sought %lld from offset %d", static_cast<long long>(offset),
           whence);
  return 1;
}

off_t qv_filesize(int fd) {
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return -1;
  }
  const off_t position = lseek(fd, 0, SEEK_CUR);
  const off_t size = position == -1 ? -1 : lseek(fd, 0, SEEK_END);
  if (size == -1 || lseek(fd, position, SEEK_SET) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return -1;
  }
  return size;
}

bool qv_truncate(int fd) {
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position == -1 || ftruncate(fd, position) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return false;
  }
  QV_DEBUG(kModule, "file truncated");
  return true;
}

off_t qv_tell(int fd) {
  if (fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return kQvTellNoFile;
  }
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position == -1) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    return kQvTellFailed;
  }
  return position;
}

std::optional<std::string> qv_file_get_contents(const char* path) {
  if (path == nullptr || *path == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return std::nullopt;
  }
  unique_fd file(qv_open(path, false, O_RDONLY));
  if (file.get() == -1) {
    QV_DEBUG(kModule, "couldn't open file so aborting");
    return std::nullopt;
  }
  // A size that cannot be learnt (-1) is a failure, never a length to allocate and read.
  const off_t size = qv_filesize(file.get());
  if (size < 0) return std::nullopt;
  if (size > kQvFileMaxContents) {
    QV_ERROR(kModule, "%s", std::strerror(EFBIG));
    return std::nullopt;
  }
  std::string contents;
  try {
    contents.assign(static_cast<std::size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return std::nullopt;
  }
  // An empty file fails here too: a zero-length read is an invalid argument.
  if (qv_read(file.get(), contents.data(), contents.size()) == 0) {
    QV_DEBUG(kModule, "read failed aborting");
    return std::nullopt;
  }
  QV_DEBUG(kModule, "read success!");
  // A file that shrank since its size was taken must not yield trailing zero bytes as
  // data; like a C string, the contents end at the first NUL.
  contents.resize(std::strlen(contents.c_str()));
  (void)qv_close(file.release());  // read-only: a failed close is logged and loses nothing
  return contents;
}

bool qv_file_exists(const char* path) {
  if (path == nullptr || *path == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  struct stat status {};
  if (stat(path, &status) == -1) {
    QV_DEBUG(kModule, "%s", std::strerror(errno));
    return false;
  }
  if (!S_ISREG(status.st_mode)) return false;
  QV_DEBUG(kModule, "regular file - returning true");
  return true;
}

int qv_file_executable(const char* path) {
  if (!qv_file_exists(path)) {
    QV_DEBUG(kModule, "file doesn't exist - return false");
    return 0;
  }
  if (access(path, R_OK | X_OK) == -1) {
    QV_DEBUG(kModule, "file either can't be read or can't be executed");
    return 0;
  }
  QV_DEBUG(kModule, "returning true");
  return 1;
}

int qv_directory_exists(const char* path) {
  if (path == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  QV_DEBUG(kModule, "checking [%s]", path);
  if (*path == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  struct stat status {};
  if (stat(path, &status) == -1) {
    QV_DEBUG(kModule, "stat returned non existent inode");
    return 0;
  }
  if (S_ISDIR(status.st_mode)) {
    QV_DEBUG(kModule, "directory exists %s", path);
    return 1;
  }
  QV_DEBUG(kModule, "[%s] exists but not a directory", path);
  return 0;
}

std::optional<std::string> qv_tmp_file(const char* prefix) {
  if (prefix == nullptr || *prefix == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return std::nullopt;
  }
  const char* directory = std::getenv("TMPDIR");
  if (directory != nullptr) {
    QV_DEBUG(kModule, "found environment variable %s", directory);
  } else {
    QV_DEBUG(kModule, "TMPDIR environment variable not found: setting explicit /tmp");
    directory = kDefaultTmpDir;
  }
  // The growing-string routines report their own allocation failures.
  string_slot name;
  if (!qv_strcat(&name, directory) || !qv_strcat(&name, "/") || !qv_strcat(&name, prefix) ||
      !qv_strcat(&name, ".") || qv_icat(&name, static_cast<std::int32_t>(getpid())) == 0) {
    return std::nullopt;
  }
  QV_DEBUG(kModule, "generated %s", name->c_str());
  return name;
}

namespace {

// Copy size bytes from source to destination; false at the first failed read or write
// (including a source that ends early).
bool copy_bytes(int destination, int source, off_t size) {
  char block[kQvFileChunk];
  off_t left = size;
  while (left > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<off_t>(left, sizeof block));
    const ssize_t got = read(source, block, chunk);
    if (got <= 0) {
      if (got < 0) qv_log_error("qv_copyfile", kModule, __LINE__, "%s", std::strerror(errno));
      return false;
    }
    if (qv_write(destination, block, static_cast<std::size_t>(got)) == 0) return false;
    left -= got;
  }
  return true;
}

}  // namespace

int qv_copyfile(const char* destination, const char* source) {
  if (destination == nullptr || *destination == '\0' || source == nullptr || *source == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  QV_DEBUG(kModule, "%s => %s", source, destination);
  unique_fd from(qv_open(source, false, O_RDONLY));
  if (from.get() == -1) {
    QV_ERROR(kModule, "%s", std::strerror(ECANCELED));
    return 0;
  }
  unique_fd to(qv_open(destination, true, O_RDWR | O_CREAT));
  if (to.get() == -1) {
    QV_ERROR(kModule, "%s", std::strerror(ECANCELED));
    return 0;
  }
  if (ftruncate(to.get(), 0) == -1) {
    QV_ERROR(kModule, "%s", std::strerror(ECANCELED));
    return 0;
  }
  const off_t size = qv_filesize(from.get());
  const bool copied = size >= 0 && copy_bytes(to.get(), from.get(), size);
  // Closing the destination releases its lock; a failed close may lose written data.
  const bool closed = qv_close(to.release()) == 1;
  (void)qv_close(from.release());  // read-only: a failed close is logged and loses nothing
  return copied && closed ? 1 : 0;
}

int qv_fprintf(int fd, const char* format, ...) {
  if (format == nullptr || fd == -1) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  char text[kQvFprintfBuffer] = {};
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) {
    QV_ERROR(kModule, "unknown error on vsnprintf() %s", std::strerror(errno));
    return 0;
  }
  if (static_cast<std::size_t>(length) >= sizeof text) {
    QV_ERROR(kModule, "%s", std::strerror(E2BIG));
    return 0;
  }
  QV_DEBUG(kModule, "arguments and format converted [%s]", text);
  return qv_write(fd, text, static_cast<std::size_t>(length));
}

int qv_readline(int fd, std::string* line, std::size_t length) {
  if (line == nullptr || fd == -1 || length == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  const off_t start = qv_tell(fd);
  QV_DEBUG(kModule, "current position in file %lld", static_cast<long long>(start));
  if (start < 0) return 0;
  std::string block;
  try {
    block.assign(length + 1, '\0');  // one more than asked, so the block is terminated
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return 0;
  }
  if (qv_read(fd, block.data(), length) == 0) {
    QV_ERROR(kModule, "%s", std::strerror(ECANCELED));
    return 0;
  }
  if (block[0] == '\0') return 0;
  QV_DEBUG(kModule, "read data block: [%s]", block.c_str());
  const char* feed = std::strchr(block.c_str(), '\n');
  if (feed == nullptr) {
    block.resize(std::strlen(block.c_str()));  // the block ends at its terminator
    *line = std::move(block);
    return 1;
  }
  const auto line_length = static_cast<std::size_t>(feed - block.c_str());
  QV_DEBUG(kModule, "newline found at character %zu", line_length);
  // The next call starts just after the line feed.
  if (qv_seek(fd, start + static_cast<off_t>(line_length) + 1, SEEK_SET) == 0) return 0;
  block.resize(line_length);
  if (!block.empty() && block.back() == '\r') block.pop_back();
  *line = std::move(block);
  return 1;
}

}  // namespace korvex
