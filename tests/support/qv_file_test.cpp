#include "support/qv_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace korvex {
namespace {

using testing::located_lines;
using testing::LogCapture;
using testing::TempDir;
using testing::VerboseDebug;
using Lines = std::vector<std::string>;

std::string error_line(const char* function, int error) {
  return std::string("3 qv_file ERROR ") + function + "(): " + std::strerror(error);
}

std::string debug_line(const char* function, const std::string& text) {
  return std::string("7 qv_file DEBUG ") + function + "(): " + text;
}

// A pipe whose ends close with the test.
struct Pipe {
  int read_end = -1;
  int write_end = -1;
  Pipe() {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    read_end = ends[0];
    write_end = ends[1];
  }
  ~Pipe() {
    if (read_end != -1) close(read_end);
    if (write_end != -1) close(write_end);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void put(const std::string& bytes) const {
    ASSERT_EQ(write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // move_read_end - renumber the read end to fd (well above the select() limit).
  bool move_read_end(int fd) {
    if (dup2(read_end, fd) != fd) return false;
    close(read_end);
    read_end = fd;
    return true;
  }
};

TEST(QvFile, OpenCreatesUnderTheUmaskAndRefusesBadPaths) {
  TempDir dir;
  LogCapture capture;
  const mode_t old_mask = umask(027);
  const int fd = qv_open(dir.file("created").c_str(), false, O_WRONLY | O_CREAT);
  umask(old_mask);
  ASSERT_GE(fd, 0);
  struct stat status {};
  ASSERT_EQ(fstat(fd, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(qv_close(fd), 1);

  EXPECT_EQ(qv_open(nullptr, false, O_RDONLY), -1);
  EXPECT_EQ(qv_open(dir.file("missing").c_str(), true, O_RDONLY), -1);
  EXPECT_EQ(qv_close(-1), 0);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_open", EINVAL), error_line("qv_open", ENOENT),
                   error_line("qv_close", EINVAL)}));
}

TEST(QvFile, LockCoversTheWholeFileUntilClose) {
  TempDir dir;
  const std::string path = dir.write("locked", "data");
  LogCapture capture;
  VerboseDebug verbose;
  const int fd = qv_open(path.c_str(), true, O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(located_lines(capture), (Lines{debug_line("qv_open", "POSIX mode"),
                                           debug_line("qv_open", "request for lock")}));

  // Record locks are per process: another process must see ours covering everything.
  auto probe = [&path]() -> int {
    const pid_t child = fork();
    if (child == 0) {
      const int other = open(path.c_str(), O_RDWR);
      struct flock query {};
      query.l_type = F_WRLCK;
      query.l_whence = SEEK_SET;
      query.l_start = 1000000;  // far past the end: a whole-file lock still covers it
      query.l_len = 1;
      if (other == -1 || fcntl(other, F_GETLK, &query) == -1) _exit(2);
      _exit(query.l_type == F_WRLCK && query.l_pid == getppid() ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(probe(), 1);
  EXPECT_EQ(qv_close(fd), 1);
  EXPECT_EQ(probe(), 0);
}

TEST(QvFile, WriteGoesOutInChunksOf4096) {
  TempDir dir;
  const std::string path = dir.file("out");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  std::string data(2 * 4096 + 100, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_EQ(qv_write(fd, data.data(), data.size()), 1);
  close(fd);
  EXPECT_EQ(TempDir::read(path), data);
  EXPECT_EQ(located_lines(capture), (Lines{debug_line("qv_write", "8292 bytes left to write"),
                                           debug_line("qv_write", "Attempting to write 4096 bytes"),
                                           debug_line("qv_write", "wrote 4096 bytes"),
                                           debug_line("qv_write", "4196 bytes left to write"),
                                           debug_line("qv_write", "Attempting to write 4096 bytes"),
                                           debug_line("qv_write", "wrote 4096 bytes"),
                                           debug_line("qv_write", "100 bytes left to write"),
                                           debug_line("qv_write", "Attempting to write 100 bytes"),
                                           debug_line("qv_write", "wrote 100 bytes")}));
}

TEST(QvFile, ShortFileIsNotAnErrorAndLeavesTheRestOfTheBuffer) {
  TempDir dir;
  const int fd = open(dir.write("ten", "0123456789").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string buffer(100, '#');
  EXPECT_EQ(qv_read(fd, buffer.data(), buffer.size()), 1);
  EXPECT_EQ(buffer, "0123456789" + std::string(90, '#'));
  close(fd);
}

TEST(QvFile, ReadWithTimeLimitTakesWhatArrivesOrTimesOut) {
  Pipe channel;
  std::string buffer(100, '\0');
  int timed_out = 0;
  std::size_t count = 99;
  {
    LogCapture capture;
    VerboseDebug verbose;
    EXPECT_EQ(qv_read_nonblock(channel.read_end, buffer.data(), 10, 20000, &timed_out, &count), 0);
    EXPECT_EQ(timed_out, 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(
        located_lines(capture),
        (Lines{debug_line("qv_read_nonblock", "no data ready to read within 20000 microseconds")}));
  }
  channel.put("hello");
  timed_out = 0;
  EXPECT_EQ(qv_read_nonblock(channel.read_end, buffer.data(), 100, 20000, &timed_out, &count), 1);
  EXPECT_EQ(timed_out, 0);
  EXPECT_EQ(buffer.substr(0, count), "hello");

  // A full chunk makes the routine wait for more; when none comes, what it already took
  // from the pipe is still counted.
  channel.put(std::string(4096, 'z'));
  std::string big(8192, '\0');
  EXPECT_EQ(qv_read_nonblock(channel.read_end, big.data(), big.size(), 20000, &timed_out, &count),
            0);
  EXPECT_EQ(timed_out, 1);
  EXPECT_EQ(count, 4096u);

  // End of data is readable at once and yields nothing.
  close(channel.write_end);
  channel.write_end = -1;
  timed_out = 0;
  EXPECT_EQ(qv_read_nonblock(channel.read_end, buffer.data(), 10, 20000, &timed_out, &count), 1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(timed_out, 0);
}

TEST(QvFile, ReadWithTimeLimitWorksOnDescriptorsAbove1023) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit saved = files;
  if (files.rlim_cur < 2100) {
    if (files.rlim_max < 2100) GTEST_SKIP() << "descriptor limit too low";
    files.rlim_cur = 2100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  {
    Pipe channel;
    ASSERT_TRUE(channel.move_read_end(2000));
    std::string buffer(16, '\0');
    int timed_out = 0;
    std::size_t count = 0;
    EXPECT_EQ(qv_read_nonblock(2000, buffer.data(), buffer.size(), 20000, &timed_out, &count), 0);
    EXPECT_EQ(timed_out, 1);
    channel.put("far away");
    timed_out = 0;
    EXPECT_EQ(qv_read_nonblock(2000, buffer.data(), buffer.size(), 20000, &timed_out, &count), 1);
    EXPECT_EQ(timed_out, 0);
    EXPECT_EQ(buffer.substr(0, count), "far away");
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

TEST(QvFile, SeekSizeTruncateAndTell) {
  TempDir dir;
  const int fd = open(dir.write("hundred", std::string(100, 'h')).c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_EQ(qv_seek(fd, 40, SEEK_SET), 1);
  EXPECT_EQ(qv_filesize(fd), 100);
  EXPECT_EQ(qv_tell(fd), 40);  // the size query keeps the position
  EXPECT_TRUE(qv_truncate(fd));
  EXPECT_EQ(qv_filesize(fd), 40);
  EXPECT_EQ(located_lines(capture),
            (Lines{debug_line("qv_seek", "successfully sought 40 from offset 0"),
                   debug_line("qv_truncate", "file truncated")}));
  close(fd);

  capture.clear();
  Pipe channel;
  EXPECT_EQ(qv_seek(-1, 0, SEEK_SET), 0);
  EXPECT_EQ(qv_seek(channel.read_end, 0, SEEK_SET), 0);
  EXPECT_EQ(qv_filesize(-1), -1);
  EXPECT_EQ(qv_filesize(channel.read_end), -1);
  EXPECT_FALSE(qv_truncate(-1));
  EXPECT_FALSE(qv_truncate(channel.read_end));
  EXPECT_EQ(qv_tell(-1), -1);
  EXPECT_EQ(qv_tell(channel.read_end), -3);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_seek", EINVAL), error_line("qv_seek", ESPIPE),
                   error_line("qv_filesize", EINVAL), error_line("qv_filesize", ESPIPE),
                   error_line("qv_truncate", EINVAL), error_line("qv_truncate", ESPIPE),
                   error_line("qv_tell", EINVAL), error_line("qv_tell", ESPIPE)}));
}

TEST(QvFile, GetContentsReadsWholeFilesOnly) {
  TempDir dir;
  const std::string text = std::string(5000, 'k') + "\nend\n";
  EXPECT_EQ(qv_file_get_contents(dir.write("text", text).c_str()), text);

  LogCapture capture;
  EXPECT_EQ(qv_file_get_contents(dir.write("empty", "").c_str()), std::nullopt);
  EXPECT_EQ(qv_file_get_contents(dir.file("missing").c_str()), std::nullopt);
  EXPECT_EQ(qv_file_get_contents(""), std::nullopt);
  const std::string huge = dir.file("huge");
  const int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_EQ(ftruncate(fd, 104857601), 0);  // sparse: one byte over the limit
  close(fd);
  EXPECT_EQ(qv_file_get_contents(huge.c_str()), std::nullopt);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_read", EINVAL), error_line("qv_open", ENOENT),
                   error_line("qv_file_get_contents", EINVAL),
                   error_line("qv_file_get_contents", EFBIG)}));
}

TEST(QvFile, GetContentsRefusesAFileOfUnknownSize) {
  // A pipe opened by name has no size: that is a failure, not a length of -1 to read.
  Pipe channel;
  channel.put("streamed");
  const std::string path = "/proc/self/fd/" + std::to_string(channel.read_end);
  LogCapture capture;
  EXPECT_EQ(qv_file_get_contents(path.c_str()), std::nullopt);
  EXPECT_EQ(located_lines(capture), (Lines{error_line("qv_filesize", ESPIPE)}));
}

TEST(QvFile, FileAndDirectoryTests) {
  TempDir dir;
  const std::string plain = dir.write("plain", "x");
  const std::string tool = dir.write("tool", "#!/bin/sh\n");
  ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
  ASSERT_EQ(chmod(plain.c_str(), 0644), 0);
  ASSERT_EQ(symlink(plain.c_str(), dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
  ASSERT_EQ(symlink(dir.path().c_str(), dir.file("dirlink").c_str()), 0);

  LogCapture capture;
  EXPECT_TRUE(qv_file_exists(plain.c_str()));
  EXPECT_TRUE(qv_file_exists(dir.file("link").c_str()));
  EXPECT_FALSE(qv_file_exists(dir.file("dangling").c_str()));
  EXPECT_FALSE(qv_file_exists(dir.path().c_str()));
  EXPECT_FALSE(qv_file_exists("/dev/null"));
  EXPECT_EQ(qv_file_executable(tool.c_str()), 1);
  EXPECT_EQ(qv_file_executable(plain.c_str()), 0);
  EXPECT_EQ(qv_file_executable(dir.path().c_str()), 0);
  EXPECT_EQ(qv_directory_exists(dir.path().c_str()), 1);
  EXPECT_EQ(qv_directory_exists(dir.file("dirlink").c_str()), 1);
  EXPECT_EQ(qv_directory_exists(plain.c_str()), 0);
  EXPECT_EQ(qv_directory_exists(dir.file("nowhere").c_str()), 0);
  // Only bad arguments are errors; a missing or odd file is an ordinary "no".
  EXPECT_TRUE(capture.lines().empty());

  EXPECT_FALSE(qv_file_exists(nullptr));
  EXPECT_FALSE(qv_file_exists(""));
  EXPECT_EQ(qv_directory_exists(""), 0);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_file_exists", EINVAL), error_line("qv_file_exists", EINVAL),
                   error_line("qv_directory_exists", EINVAL)}));
}

TEST(QvFile, TmpFileNamesFollowTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_value = saved != nullptr ? saved : "";
  const std::string pid = std::to_string(getpid());
  LogCapture capture;
  VerboseDebug verbose;
  unsetenv("TMPDIR");
  EXPECT_EQ(qv_tmp_file("kxd"), "/tmp/kxd." + pid);
  setenv("TMPDIR", "/var/spool/kx", 1);
  EXPECT_EQ(qv_tmp_file("ksf"), "/var/spool/kx/ksf." + pid);
  EXPECT_EQ(qv_tmp_file(""), std::nullopt);
  EXPECT_EQ(qv_tmp_file(nullptr), std::nullopt);
  if (saved != nullptr) {
    setenv("TMPDIR", saved_value.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  Lines wanted{
      debug_line("qv_tmp_file", "TMPDIR environment variable not found: setting explicit /tmp"),
      debug_line("qv_tmp_file", "generated /tmp/kxd." + pid),
      debug_line("qv_tmp_file", "found environment variable /var/spool/kx"),
      debug_line("qv_tmp_file", "generated /var/spool/kx/ksf." + pid),
      error_line("qv_tmp_file", EINVAL),
      error_line("qv_tmp_file", EINVAL)};
  Lines own;  // the string routines that build the name trace too
  for (const auto& line : located_lines(capture)) {
    if (line.find(" qv_file ") != std::string::npos) own.push_back(line);
  }
  EXPECT_EQ(own, wanted);
}

TEST(QvFile, CopyReplacesTheDestinationWhole) {
  TempDir dir;
  const std::string source = dir.write("source", std::string(10000, 's') + "tail");
  const std::string destination = dir.write("destination", std::string(20000, 'd'));
  EXPECT_EQ(qv_copyfile(destination.c_str(), source.c_str()), 1);
  EXPECT_EQ(TempDir::read(destination), TempDir::read(source));

  const std::string empty = dir.write("empty", "");
  EXPECT_EQ(qv_copyfile(destination.c_str(), empty.c_str()), 1);
  EXPECT_EQ(TempDir::read(destination), "");
  EXPECT_EQ(qv_copyfile(dir.file("fresh").c_str(), source.c_str()), 1);
  EXPECT_EQ(TempDir::read(dir.file("fresh")), TempDir::read(source));

  LogCapture capture;
  EXPECT_EQ(qv_copyfile(destination.c_str(), dir.file("missing").c_str()), 0);
  EXPECT_EQ(qv_copyfile(dir.file("no/such/dir").c_str(), source.c_str()), 0);
  EXPECT_EQ(qv_copyfile("", source.c_str()), 0);
  EXPECT_EQ(qv_copyfile(destination.c_str(), nullptr), 0);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_open", ENOENT), error_line("qv_copyfile", ECANCELED),
                   error_line("qv_open", ENOENT), error_line("qv_copyfile", ECANCELED),
                   error_line("qv_copyfile", EINVAL), error_line("qv_copyfile", EINVAL)}));
}

TEST(QvFile, FprintfWritesTextsBelow1024Characters) {
  TempDir dir;
  const std::string path = dir.file("formatted");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  LogCapture capture;
  EXPECT_EQ(qv_fprintf(fd, "%s=%d\n", "count", 42), 1);
  const std::string longest(1023, 'L');
  EXPECT_EQ(qv_fprintf(fd, "%s", longest.c_str()), 1);
  EXPECT_EQ(qv_fprintf(fd, "%s!", longest.c_str()), 0);
  EXPECT_EQ(qv_fprintf(-1, "x"), 0);
  close(fd);
  EXPECT_EQ(TempDir::read(path), "count=42\n" + longest);
  EXPECT_EQ(located_lines(capture),
            (Lines{error_line("qv_fprintf", E2BIG), error_line("qv_fprintf", EINVAL)}));
}

TEST(QvFile, ReadlineStepsThroughLines) {
  TempDir dir;
  const int fd =
      open(dir.write("lines", "first\r\nsecond\r\n\nlast without end").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string line;
  EXPECT_EQ(qv_readline(fd, &line, 64), 1);
  EXPECT_EQ(line, "first");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7);
  EXPECT_EQ(qv_readline(fd, &line, 64), 1);
  EXPECT_EQ(line, "second");
  EXPECT_EQ(qv_readline(fd, &line, 64), 1);
  EXPECT_EQ(line, "");
  EXPECT_EQ(qv_readline(fd, &line, 64), 1);
  EXPECT_EQ(line, "last without end");
  EXPECT_EQ(qv_readline(fd, &line, 64), 0);

  // A line longer than the block comes back in pieces of the block's size.
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(qv_readline(fd, &line, 3), 1);
  EXPECT_EQ(line, "fir");
  EXPECT_EQ(qv_readline(fd, &line, 3), 1);
  EXPECT_EQ(line, "st\r");
  EXPECT_EQ(qv_readline(fd, &line, 3), 1);
  EXPECT_EQ(line, "");
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 7);
  close(fd);
}

}  // namespace
}  // namespace korvex
