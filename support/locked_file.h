// locked_file - plain file access for the tools and the plugin: open with an optional
// whole-file write lock, write and read exact lengths, seek, size, truncate, and read a
// whole file into memory. Descriptors are plain integers with -1 meaning "none"; the
// routines report by their result only and never log.
//
// Exports: file_open_locked, file_close, file_write_all, file_read_exact, file_seek,
// file_size, file_truncate_here, file_read_all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace korvex {

// file_open_locked - open path with flags (creation mode 0666) and, when lock is set, wait
// for a write lock over the whole file. Descriptor, or -1.
int file_open_locked(const std::string& path, bool lock, int flags);

// file_close - close descriptor; true for -1 or a clean close (the lock goes with it).
bool file_close(int descriptor);

// file_write_all - write exactly length bytes; false for nothing to write or a short write.
bool file_write_all(int descriptor, const void* bytes, std::size_t length);

// file_read_exact - read exactly length bytes; false on error or end of file before that.
bool file_read_exact(int descriptor, void* buffer, std::size_t length);

// file_seek - move the file position; true on success.
bool file_seek(int descriptor, off_t offset, int origin);

// file_size - size found by seeking to the end (the position stays there); 0 for
// descriptor -1, -1 when the file cannot be seeked.
off_t file_size(int descriptor);

// file_truncate_here - cut the file at the current position.
bool file_truncate_here(int descriptor);

// file_read_all - the whole file at path, or nothing when it cannot be read.
std::optional<std::string> file_read_all(const std::string& path);

}  // namespace korvex
