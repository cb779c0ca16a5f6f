#include "support/locked_file.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// What another process learns when it asks who holds a lock on path: "<type> <start>
// <length> <holder>", or "unlocked".
std::string lock_seen_by_another_process(const std::string& path) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    const int descriptor = open(path.c_str(), O_RDWR);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    std::string answer = "probe failed";
    if (descriptor != -1 && fcntl(descriptor, F_GETLK, &probe) == 0) {
      answer = probe.l_type == F_UNLCK
                   ? "unlocked"
                   : std::to_string(probe.l_type) + " " + std::to_string(probe.l_start) + " " +
                         std::to_string(probe.l_len) + " " + std::to_string(probe.l_pid);
    }
    const ssize_t written = write(pipe_ends[1], answer.data(), answer.size());
    _exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  close(pipe_ends[1]);
  std::string answer;
  char buffer[128];
  for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return answer;
}

TEST(LockedFile, WriteLockCoversTheWholeFileUntilClose) {
  ScratchDir dir;
  const std::string path = dir / "counter";
  const int descriptor = file_open_locked(path, true, O_RDWR | O_CREAT);
  ASSERT_NE(descriptor, -1);
  EXPECT_EQ(lock_seen_by_another_process(path),
            std::to_string(F_WRLCK) + " 0 0 " + std::to_string(getpid()));
  EXPECT_TRUE(file_close(descriptor));
  EXPECT_EQ(lock_seen_by_another_process(path), "unlocked");

  const int unlocked = file_open_locked(path, false, O_RDWR);
  ASSERT_NE(unlocked, -1);
  EXPECT_EQ(lock_seen_by_another_process(path), "unlocked");
  EXPECT_TRUE(file_close(unlocked));
  EXPECT_TRUE(file_close(-1));
}

TEST(LockedFile, FailedOpensAndLocksLeaveNoDescriptorBehind) {
  ScratchDir dir;
  const std::size_t before = open_descriptors();
  EXPECT_EQ(file_open_locked(dir / "missing", false, O_RDONLY), -1);
  write_file(dir / "readonly", "x");
  // A write lock needs a descriptor open for writing.
  EXPECT_EQ(file_open_locked(dir / "readonly", true, O_RDONLY), -1);
  EXPECT_EQ(open_descriptors(), before);
}

TEST(LockedFile, ExactWritesReadsSeeksSizesAndTruncation) {
  ScratchDir dir;
  const std::string path = dir / "data";
  const int descriptor = file_open_locked(path, true, O_RDWR | O_CREAT | O_TRUNC);
  ASSERT_NE(descriptor, -1);
  const std::string content("header\0body-part", 16);
  EXPECT_TRUE(file_write_all(descriptor, content.data(), content.size()));
  EXPECT_EQ(file_size(descriptor), 16);
  EXPECT_TRUE(file_seek(descriptor, 7, SEEK_SET));
  char buffer[16] = {};
  EXPECT_TRUE(file_read_exact(descriptor, buffer, 4));
  EXPECT_EQ(std::string(buffer, 4), "body");
  EXPECT_FALSE(file_read_exact(descriptor, buffer, 6));  // only five bytes are left
  EXPECT_TRUE(file_seek(descriptor, 6, SEEK_SET));
  EXPECT_TRUE(file_truncate_here(descriptor));
  EXPECT_EQ(file_size(descriptor), 6);
  EXPECT_FALSE(file_seek(descriptor, -100, SEEK_SET));

  EXPECT_FALSE(file_write_all(descriptor, content.data(), 0));
  EXPECT_FALSE(file_write_all(descriptor, nullptr, 3));
  EXPECT_FALSE(file_write_all(-1, content.data(), 3));
  EXPECT_FALSE(file_read_exact(descriptor, buffer, 0));
  EXPECT_FALSE(file_read_exact(descriptor, nullptr, 3));
  EXPECT_FALSE(file_read_exact(-1, buffer, 3));
  EXPECT_FALSE(file_seek(-1, 0, SEEK_SET));
  EXPECT_FALSE(file_truncate_here(-1));
  EXPECT_EQ(file_size(-1), 0);
  EXPECT_TRUE(file_close(descriptor));
  EXPECT_EQ(read_file(path), "header");
}

TEST(LockedFile, ReadAllGivesTheWholeFileOrNothing) {
  ScratchDir dir;
  const std::string binary("line one\n\0\xff tail", 16);
  write_file(dir / "binary", binary);
  write_file(dir / "empty", "");
  EXPECT_EQ(file_read_all(dir / "binary"), binary);
  EXPECT_EQ(file_read_all(dir / "empty"), "");
  EXPECT_EQ(file_read_all(dir / "missing"), std::nullopt);
  EXPECT_EQ(file_read_all(dir.path()), std::nullopt);
  // This file cannot be seeked to its end: its size is unknown, and that is a failure.
  const int unseekable = file_open_locked("/proc/self/status", false, O_RDONLY);
  ASSERT_NE(unseekable, -1);
  EXPECT_EQ(file_size(unseekable), -1);
  EXPECT_TRUE(file_close(unseekable));
  EXPECT_EQ(file_read_all("/proc/self/status"), std::nullopt);
}

}  // namespace
}  // namespace korvex
