// list_update - lock, temporary file and rename for list rewrites. See list_update.h.
#include "lists/list_update.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "support/file_io.h"

namespace korvex {

namespace {

// Tries for the lock, each failure followed by a second's sleep.
constexpr int kLockTries = 3;
constexpr unsigned kLockRetrySeconds = 1;
// Times a writer reopens a list that was replaced while it waited for the lock; each
// replacement is another writer's finished update, so the bound is only a safety net.
constexpr int kReopenLimit = 100;

const char* const kLockFailed = "Failed to update list: Could not acquire lock.";

bool take_lock(int fd) {
  for (int attempt = 0; attempt < kLockTries; ++attempt) {
    if (lock_whole_file(fd, lock_kind::flock_exclusive_try)) return true;
    // The sleep's remaining time is of no interest: the next try follows either way.
    (void)sleep(kLockRetrySeconds);
  }
  return false;
}

enum class LockCheck { kCurrent, kReplaced, kFailed };

// Whether the locked descriptor still names the file now at path.
LockCheck still_at_path(int fd, const std::string& path) {
  struct stat locked {};
  struct stat current {};
  if (fstat(fd, &locked) != 0) return LockCheck::kFailed;
  if (stat(path.c_str(), &current) != 0) {
    return errno == ENOENT ? LockCheck::kReplaced : LockCheck::kFailed;
  }
  const bool same = locked.st_dev == current.st_dev && locked.st_ino == current.st_ino;
  return same ? LockCheck::kCurrent : LockCheck::kReplaced;
}

// Opens (creating it if absent) and locks the list, and makes sure the lock is held on the
// file that is at path now. Returns the locked descriptor or none with a reason.
unique_fd lock_list_file(const std::string& path, std::string* reason) {
  for (int attempt = 0; attempt < kReopenLimit; ++attempt) {
    unique_fd fd(open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      set_reason(reason, "Unable to open list file: %s", std::strerror(errno));
      return unique_fd();
    }
    if (!take_lock(fd.get())) {
      set_reason(reason, "%s", kLockFailed);
      return unique_fd();
    }
    switch (still_at_path(fd.get(), path)) {
      case LockCheck::kCurrent:
        return fd;
      case LockCheck::kFailed:
        set_reason(reason, "Unable to open list file: %s", std::strerror(errno));
        return unique_fd();
      case LockCheck::kReplaced:
        break;  // the descriptor closes, releasing the stale lock; open the new file
    }
  }
  set_reason(reason, "%s", kLockFailed);
  return unique_fd();
}

// Puts the new content in place of the list: forced to disk before the rename, so the
// rename can only ever install a complete list, and the rename itself forced to disk. A
// finished temporary file stays when the rename fails.
int install_list(const std::string& path, const std::string& content, std::string* reason) {
  replace_options options;
  options.temporary = path + ".tmp";
  options.keep_temporary = true;
  const replace_outcome outcome = replace_file(path, content, 0666, options);
  switch (outcome.failed) {
    case replace_step::none:
      return 0;
    case replace_step::create:
      set_reason(reason, "Unable to open temp file: %s", outcome.cause().c_str());
      return -1;
    case replace_step::rename:
      set_reason(reason, "Unable to open list file: %s", outcome.cause().c_str());
      return -1;
    case replace_step::sync_directory:
      // The new list is in place; only its surviving a power failure is in doubt.
      set_reason(reason, "Unable to sync list directory: %s", outcome.cause().c_str());
      return -1;
    case replace_step::write:
    case replace_step::sync:
    case replace_step::close:
      break;
  }
  set_reason(reason, "Unable to write temp file: %s", outcome.cause().c_str());
  return -1;
}

// Steps 4 to 7 of an update, with the list locked.
int rewrite_locked(int list_fd, const std::string& path, const std::string& entry,
                   rewrite_step step, std::string* reason) {
  if (lseek(list_fd, 0, SEEK_SET) != 0) {
    set_reason(reason, "Unable to read list file: %s", std::strerror(errno));
    return -1;
  }
  LineReader list(list_fd);
  try {
    std::string content;
    if (!step(list, &content, entry, reason)) return -1;
    return install_list(path, content, reason);
  } catch (const std::bad_alloc&) {
    set_reason(reason, "Out of memory.");
    return -1;
  }
}

}  // namespace

void set_reason(std::string* reason, const char* format, ...) {
  char text[kReasonSize] = {};
  va_list args;
  va_start(args, format);
  // A longer reason is cut; the length it would have had is of no use.
  (void)std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  reason->assign(text);
}

int update_list_file(const std::string& path, const std::string& entry, rewrite_step step,
                     std::string* reason) {
  try {
    unique_fd list = lock_list_file(path, reason);
    if (!list.valid()) return -1;
    const int result = rewrite_locked(list.get(), path, entry, step, reason);
    // Closing the descriptor releases the lock; the lock is not held past this point.
    (void)flock(list.get(), LOCK_UN);
    return result;
  } catch (const std::bad_alloc&) {
    set_reason(reason, "Out of memory.");
    return -1;
  }
}

}  // namespace korvex
