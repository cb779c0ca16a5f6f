#include "support/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/crash_trap.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

using testing::read_file;
using testing::run_in_child;
using testing::ScratchDir;
using testing::write_file;

std::vector<std::string> names_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

mode_t mode_of(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(ReplaceFile, NamedTemporaryIsFreshAndNeverFollowsAPlantedLink) {
  ScratchDir dir;
  const std::string target = dir / "list";
  write_file(target, "old\n");
  write_file(dir / "victim", "victim\n");
  ASSERT_EQ(::symlink((dir / "victim").c_str(), (dir / "list.tmp").c_str()), 0);
  replace_options options;
  options.temporary = target + ".tmp";
  const mode_t old_mask = ::umask(027);
  const replace_outcome outcome = replace_file(target, "new\n", 0666, options);
  (void)::umask(old_mask);
  ASSERT_TRUE(outcome) << outcome.cause();
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(mode_of(target), 0640U);
  EXPECT_EQ(read_file(dir / "victim"), "victim\n");
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"list", "victim"}));
}

TEST(ReplaceFile, UniqueTemporaryWithExactModeLeavesNothingBeside) {
  ScratchDir dir;
  const std::string target = dir / "list.index";
  replace_options options;
  options.exact_mode = true;
  const mode_t old_mask = ::umask(077);
  const replace_outcome outcome = replace_file(target, std::string("a\0b", 3), 0644, options);
  (void)::umask(old_mask);
  ASSERT_TRUE(outcome) << outcome.cause();
  EXPECT_EQ(read_file(target), std::string("a\0b", 3));
  EXPECT_EQ(mode_of(target), 0644U);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"list.index"});
}

TEST(ReplaceFile, FailuresLeaveTheOldContentAndSayWhichStepFailed) {
  ScratchDir dir;
  const std::string target = dir / "table";
  write_file(target, "old\n");
  replace_options options;
  options.temporary = target + ".tmp";

  // The temporary name is taken by a directory: nothing can be created there.
  ASSERT_TRUE(std::filesystem::create_directory(options.temporary));
  replace_outcome outcome = replace_file(target, "new\n", 0666, options);
  EXPECT_EQ(outcome.failed, replace_step::create);
  EXPECT_EQ(outcome.cause(), std::strerror(EISDIR));
  EXPECT_EQ(outcome.temporary, options.temporary);
  EXPECT_EQ(read_file(target), "old\n");
  std::filesystem::remove(options.temporary);

  // A write cut short by the file-size limit: the partial copy goes, the old file stays.
  const testing::ChildOutcome child = run_in_child([&](const testing::ChildChannel&) {
    const rlimit limit{2, 2};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
    (void)::signal(SIGXFSZ, SIG_IGN);
    const replace_outcome cut = replace_file(target, "too long\n", 0666, options);
    return std::to_string(static_cast<int>(cut.failed)) + " " + cut.cause();
  });
  EXPECT_EQ(child.report,
            std::to_string(static_cast<int>(replace_step::write)) + " " + std::strerror(EFBIG));
  EXPECT_EQ(read_file(target), "old\n");

  // The rename is refused: the finished temporary file stays only when asked to.
  const std::string occupied = dir / "occupied";
  ASSERT_TRUE(std::filesystem::create_directories(occupied + "/inside"));
  replace_options keep;
  keep.temporary = occupied + ".tmp";
  keep.keep_temporary = true;
  outcome = replace_file(occupied, "new\n", 0666, keep);
  EXPECT_EQ(outcome.failed, replace_step::rename);
  EXPECT_EQ(read_file(keep.temporary), "new\n");
  keep.keep_temporary = false;
  outcome = replace_file(occupied, "new\n", 0666, keep);
  EXPECT_EQ(outcome.failed, replace_step::rename);
  EXPECT_FALSE(std::filesystem::exists(keep.temporary));
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"occupied", "table"}));
}

TEST(InstallFile, MovesAFinishedFileIntoPlaceOrLeavesBothAlone) {
  ScratchDir dir;
  const std::string target = dir / "map";
  write_file(target, "old");
  write_file(dir / "map.new", "new");
  EXPECT_TRUE(install_file(dir / "map.new", target));
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"map"});

  const replace_outcome missing = install_file(dir / "map.new", target);
  EXPECT_EQ(missing.failed, replace_step::create);
  EXPECT_EQ(missing.cause(), std::strerror(ENOENT));
  EXPECT_EQ(read_file(target), "new");
}

TEST(WriteAll, DeliversEveryByteThroughPartialWrites) {
  // Far more than a pipe holds: the writer sees partial writes while the reader drains.
  const std::string bytes(1 << 20, 'x');
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t reader = ::fork();
  if (reader == 0) {
    (void)::close(ends[1]);
    std::size_t received = 0;
    char buffer[4096];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
      received += static_cast<std::size_t>(got);
    }
    ::_exit(received == bytes.size() ? 0 : 1);
  }
  (void)::close(ends[0]);
  EXPECT_TRUE(write_all(ends[1], bytes));
  (void)::close(ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(LockWholeFile, TryingAHeldFlockFailsAtOnce) {
  ScratchDir dir;
  write_file(dir / "lock", "");
  const unique_fd holder(::open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC));
  const unique_fd other(::open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(holder.valid() && other.valid());
  ASSERT_TRUE(lock_whole_file(holder.get(), lock_kind::flock_exclusive_try));
  EXPECT_FALSE(lock_whole_file(other.get(), lock_kind::flock_exclusive_try));
  EXPECT_EQ(errno, EWOULDBLOCK);
}

// A fault with the core directory already there: a kept directory is entered and the
// process aborts there; a per-process one is refused and the process ends with status 1.
TEST(CrashTrapDeathTest, ExistingDirectoryIsUsedOnlyWhenItMayExist) {
  ScratchDir dir;
  const auto crash = [&](bool may_exist) {
    crash_trap_plan plan;
    plan.core_dir = dir.path();
    plan.dir_may_exist = may_exist;
    plan.abort_unmoved = false;
    if (!install_crash_trap(plan)) std::_Exit(2);
    (void)::raise(SIGSEGV);
  };
  EXPECT_EXIT(crash(true), ::testing::KilledBySignal(SIGABRT), "");
  EXPECT_EXIT(crash(false), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace korvex
