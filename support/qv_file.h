// qv_file - file I/O and locking over plain integer descriptors.
//
// Thin, checked wrappers around the POSIX file calls the suite needs: open with an
// optional whole-file write lock, close, chunked write and read, a read with a time
// limit, seek, size, truncate, position, whole-file read, file and directory tests,
// temporary names, copying, formatted writing and line reading. Every routine validates
// its arguments, reports failures as error lines and traces its steps as debug lines
// under the module name "qv_file", and answers with a plain success value; none stops
// the program. A descriptor of -1 means "no file" and is refused everywhere.
//
// Exports: qv_open, qv_close, qv_write, qv_read, qv_read_nonblock, qv_seek, qv_filesize,
// qv_truncate, qv_tell, qv_file_get_contents, qv_file_exists, qv_file_executable,
// qv_directory_exists, qv_tmp_file, qv_copyfile, qv_fprintf, qv_readline.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvex {

// Transfers move at most this many bytes per system call.
inline constexpr std::size_t kQvFileChunk = 4096;
// Whole-file reads are refused above this size (100 MiB).
inline constexpr off_t kQvFileMaxContents = 104857600;
// qv_fprintf formats into a buffer of this size; texts must leave room for the terminator.
inline constexpr std::size_t kQvFprintfBuffer = 1024;
// Results of qv_tell besides a position.
inline constexpr off_t kQvTellNoFile = -1;
inline constexpr off_t kQvTellFailed = -3;

// qv_open - open path with flags (mode 0666 less the umask), optionally waiting for a
// write lock over the whole file; the descriptor, or -1.
int qv_open(const char* path, bool lock, int flags);

// qv_close - close a descriptor; 1 closed, 0 failed.
int qv_close(int fd);

// qv_write - write all length bytes in chunks; 1 when everything was written, else 0.
int qv_write(int fd, const void* bytes, std::size_t length);

// qv_read - read up to length bytes in chunks, stopping early at end of file; 1 unless an
// argument is invalid or a read fails. The buffer is not terminated.
int qv_read(int fd, void* buffer, std::size_t length);

// qv_read_nonblock - read up to length bytes, waiting at most limit_usec microseconds in
// all; 1 with *count set, 0 on time-out (*timed_out set to 1), error or invalid argument.
// On time-out *count still receives what was read before the wait ran out.
int qv_read_nonblock(int fd, void* buffer, std::size_t length, std::uint64_t limit_usec,
                     int* timed_out, std::size_t* count);

// qv_seek - move the file position as lseek does; 1 moved, 0 failed.
int qv_seek(int fd, off_t offset, int whence);

// qv_filesize - the size in bytes, keeping the current position; -1 on failure.
off_t qv_filesize(int fd);

// qv_truncate - cut the file at the current position; true on success.
bool qv_truncate(int fd);

// qv_tell - the current position; kQvTellNoFile for descriptor -1, kQvTellFailed when the
// position cannot be read.
off_t qv_tell(int fd);

// qv_file_get_contents - the whole file (at most 100 MiB) as text, ending at its first NUL
// byte as a C string would; empty when the file cannot be read, is empty, has no size
// (a pipe) or is too large.
std::optional<std::string> qv_file_get_contents(const char* path);

// qv_file_exists - true when path (followed through links) is a regular file.
bool qv_file_exists(const char* path);

// qv_file_executable - 1 when path is a regular file the caller may read and execute.
int qv_file_executable(const char* path);

// qv_directory_exists - 1 when path (followed through links) is a directory.
int qv_directory_exists(const char* path);

// qv_tmp_file - "$TMPDIR/<prefix>.<pid>" (or under /tmp); only the name, no file is made.
std::optional<std::string> qv_tmp_file(const char* prefix);

// qv_copyfile - copy source over destination under the destination's write lock; 1 when
// the whole source was copied.
int qv_copyfile(const char* destination, const char* source);

// qv_fprintf - format (below 1024 characters) and write the text; 1 when written.
int qv_fprintf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

// qv_readline - read the next line of at most length bytes into *line, without its line
// feed or a carriage return before it, leaving the position just after the line feed;
// 1 when a line was read, 0 at end of data or on failure.
int qv_readline(int fd, std::string* line, std::size_t length);

}  // namespace korvex
