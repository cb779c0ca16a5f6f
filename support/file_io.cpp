// file_io - writes, whole-file reads, locks and power-safe replacement. See file_io.h.
#include "support/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace korvex {

namespace {

bool retry_interrupted(long result) { return result == -1 && errno == EINTR; }

// The directory part of a path, "." for a bare name.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

replace_outcome failed_at(replace_step step, int error, std::string temporary) {
  replace_outcome outcome;
  outcome.failed = step;
  outcome.error = error;
  outcome.temporary = std::move(temporary);
  return outcome;
}

mode_t creation_mask() {
  const mode_t mask = ::umask(0);
  (void)::umask(mask);  // only read: the old mask goes straight back
  return mask;
}

// A new temporary file: at the given name (a leftover of that name is removed first, so
// the file is always fresh, made with mode, and never reached through a planted link), or
// at a unique name beside path. Sets *name to the file made or the name tried.
unique_fd create_temporary(const std::string& path, mode_t mode, const replace_options& options,
                           std::string* name) {
  if (options.temporary.empty()) {
    *name = path + ".XXXXXX";
    std::string unique = *name;
    unique_fd fd(::mkostemp(unique.data(), O_CLOEXEC));
    if (fd.valid()) *name = unique;
    return fd;
  }
  *name = options.temporary;
  if (options.exclusive) {
    return unique_fd(::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  }
  // A failure shows again, with its cause, in the open below.
  (void)::unlink(name->c_str());
  return unique_fd(
      ::open(name->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
}

// The mode to set on the new file after creating it, when creation alone does not give it:
// a unique file is made private, and the mask reduces a mode that was meant exactly.
std::optional<mode_t> mode_to_set(mode_t mode, const replace_options& options) {
  if (options.exact_mode) return mode;
  if (options.temporary.empty()) return mode & ~creation_mask();
  return std::nullopt;
}

// Set the mode, write, sync and close the temporary file; the failed step, or none.
replace_step fill_temporary(unique_fd* fd, std::string_view bytes, std::optional<mode_t> mode) {
  if (mode && ::fchmod(fd->get(), *mode) != 0) return replace_step::write;
  if (!write_all(fd->get(), bytes)) return replace_step::write;
  if (::fsync(fd->get()) != 0) return replace_step::sync;
  if (!fd->close_checked()) return replace_step::close;
  return replace_step::none;
}

// The rename and the directory sync that every replacement ends with.
replace_outcome rename_into_place(const std::string& temporary, const std::string& path) {
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    return failed_at(replace_step::rename, errno, temporary);
  }
  if (!sync_directory_of(path)) return failed_at(replace_step::sync_directory, errno, temporary);
  replace_outcome done;
  done.temporary = temporary;
  return done;
}

}  // namespace

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (retry_interrupted(written)) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::optional<std::string> read_whole_file(const std::string& path) {
  const unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  // A directory can report an enormous size; it has no content to read anyway.
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return std::nullopt;
  if (S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return std::nullopt;
  }
  // A file that cannot be seeked has no size to go by: never allocate from -1.
  const off_t size = ::lseek(file.get(), 0, SEEK_END);
  if (size < 0 || ::lseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
  std::string content;
  try {
    content.resize(static_cast<std::size_t>(size));
  } catch (const std::exception&) {
    errno = ENOMEM;
    return std::nullopt;
  }
  std::size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
    if (retry_interrupted(got)) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;  // the file shrank since it was measured
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

bool lock_whole_file(int fd, lock_kind kind) {
  int result = 0;
  do {
    switch (kind) {
      case lock_kind::record_write_wait: {
        struct flock whole_file {};
        whole_file.l_type = F_WRLCK;
        whole_file.l_whence = SEEK_SET;
        whole_file.l_start = 0;
        whole_file.l_len = 0;  // to the end, however far the file grows
        whole_file.l_pid = ::getpid();
        result = ::fcntl(fd, F_SETLKW, &whole_file);
        break;
      }
      case lock_kind::flock_exclusive_try:
        result = ::flock(fd, LOCK_EX | LOCK_NB);
        break;
      case lock_kind::flock_exclusive_wait:
        result = ::flock(fd, LOCK_EX);
        break;
    }
  } while (retry_interrupted(result));
  return result == 0;
}

std::string replace_outcome::cause() const { return std::strerror(error); }

replace_outcome replace_file(const std::string& path, std::string_view bytes, mode_t mode,
                             const replace_options& options) {
  std::string temporary;
  unique_fd fd = create_temporary(path, mode, options, &temporary);
  if (!fd.valid()) return failed_at(replace_step::create, errno, temporary);
  if (const replace_step failed = fill_temporary(&fd, bytes, mode_to_set(mode, options));
      failed != replace_step::none) {
    const int error = errno;
    fd.reset();
    (void)::unlink(temporary.c_str());  // incomplete: of no use to anybody
    return failed_at(failed, error, temporary);
  }
  replace_outcome outcome = rename_into_place(temporary, path);
  if (outcome.failed == replace_step::rename && !options.keep_temporary) {
    (void)::unlink(temporary.c_str());  // the error reported is the rename's
  }
  return outcome;
}

replace_outcome install_file(const std::string& temporary, const std::string& path) {
  unique_fd fd(::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return failed_at(replace_step::create, errno, temporary);
  if (::fsync(fd.get()) != 0) return failed_at(replace_step::sync, errno, temporary);
  if (!fd.close_checked()) return failed_at(replace_step::close, errno, temporary);
  return rename_into_place(temporary, path);
}

bool sync_directory_of(const std::string& path) {
  unique_fd directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return false;
  const bool synced = ::fsync(directory.get()) == 0;
  const int error = errno;
  directory.reset();  // read-only: its close has nothing to report
  errno = error;
  return synced;
}

}  // namespace korvex
