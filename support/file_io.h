// file_io - the one place where the programs write, lock and replace files: writes that
// finish or fail, whole-file reads, whole-file locks of the kinds each file's readers and
// writers agree on, and replacement that survives a power failure (a temporary file beside
// the target, fsync, rename, fsync of the directory). Descriptors live in unique_fd. The
// routines never log: they report by their result and errno, so each caller can say what
// went wrong in its own words.
//
// Exports: write_all, read_whole_file, lock_kind, lock_whole_file, replace_step,
// replace_outcome, replace_options, replace_file, install_file, sync_directory_of.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/unique_fd.h"

namespace korvex {

// write_all - write every byte, going on after partial writes and interruptions; false
// with errno set when the file takes no more (a write of nothing counts as ENOSPC).
bool write_all(int fd, std::string_view bytes);

// read_whole_file - the whole content of the regular file at path, or nothing with errno
// set (a directory is EISDIR).
std::optional<std::string> read_whole_file(const std::string& path);

// The whole-file locks in use; which one a file takes is part of its contract with the
// other programs, so each caller names its own.
enum class lock_kind {
  record_write_wait,     // fcntl write lock from 0 to the end, waiting until it is granted
  flock_exclusive_try,   // flock exclusive, failing at once with EWOULDBLOCK when taken
  flock_exclusive_wait,  // flock exclusive, waiting until it is granted
};

// lock_whole_file - take a lock of kind on the open file; false with errno set. The lock
// lasts until the descriptor is closed.
bool lock_whole_file(int fd, lock_kind kind);

// The step of a replacement that failed: making (or, for install_file, opening) the
// temporary file; setting its mode or writing it; forcing it to disk; closing it; the
// rename; forcing the directory to disk.
enum class replace_step { none, create, write, sync, close, rename, sync_directory };

// What a replacement came to: success, or the step that failed with its errno.
struct replace_outcome {
  replace_step failed = replace_step::none;
  int error = 0;
  // The temporary file used; for a failed create, the name (or pattern) that was tried.
  std::string temporary;

  explicit operator bool() const { return failed == replace_step::none; }
  // cause - the system's text for the error, for the caller's message.
  std::string cause() const;
};

struct replace_options {
  // The temporary file's name, when readers or peers know it; empty gives a fresh unique
  // name beside the target ("<path>.XXXXXX"). A leftover file of that name is replaced.
  std::string temporary;
  // A file already at the temporary name belongs to somebody else: it is left alone and
  // the replacement fails (EEXIST) instead of replacing it.
  bool exclusive = false;
  // The mode as given, rather than reduced by the file-creation mask.
  bool exact_mode = false;
  // A complete temporary file stays where it is when the rename fails.
  bool keep_temporary = false;
};

// replace_file - put bytes in place of the file at path: written to a temporary file,
// forced to disk, renamed over path, and the directory forced to disk, so that readers see
// the old content or the new, and a power failure leaves one of them. The new file is made
// with mode (reduced by the file-creation mask unless options say otherwise). On failure
// the old file is untouched (unless only the directory sync failed: the new file is in
// place then) and the temporary file is gone unless options keep it.
replace_outcome replace_file(const std::string& path, std::string_view bytes, mode_t mode,
                             const replace_options& options = {});

// install_file - put the finished file at temporary, written by another program, in place
// of path: forced to disk, renamed, the directory forced to disk. The temporary file is
// left to the caller when this fails.
replace_outcome install_file(const std::string& temporary, const std::string& path);

// sync_directory_of - force the directory entry of path (a rename into it) to disk.
bool sync_directory_of(const std::string& path);

}  // namespace korvex
