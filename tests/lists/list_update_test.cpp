#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lists/list_files.h"
#include "lists/list_paths.h"
#include "tests/lists/list_test_dir.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::exists;
using testing::ListDir;
using testing::LoggedLine;
using testing::read_file;
using testing::write_file;

class ListUpdate : public ::testing::Test {
 protected:
  std::string list_path(int list_id = kFromWhitelistList) const {
    return *list_file_path(dir_.base(), list_id);
  }
  // Runs add_entry or del_entry, returning the result and what it printed.
  int run(int (*operation)(log_function, int, const std::string&, const std::string&), int list_id,
          const std::string& entry, std::string* printed) {
    ::testing::internal::CaptureStdout();
    const int result = operation(testing::capture_sink, list_id, entry, dir_.base());
    *printed = ::testing::internal::GetCapturedStdout();
    return result;
  }
  ListDir dir_;
  testing::LogCapture capture_;
};

TEST_F(ListUpdate, AddCreatesTheListAndRefusesDuplicatesInAnyCase) {
  std::string printed;
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "joe@x.example", &printed), 0);
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "ann@x.example", &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(read_file(list_path()), "joe@x.example\nann@x.example\n");
  EXPECT_TRUE(capture_.lines().empty());

  EXPECT_EQ(run(add_entry, kFromWhitelistList, "JOE@X.Example", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Entry already exists.\n");
  EXPECT_EQ(capture_.lines(),
            (std::vector<LoggedLine>{{3, "add_entry() ERROR: Entry already exists.\n"}}));
  EXPECT_EQ(read_file(list_path()), "joe@x.example\nann@x.example\n");
  EXPECT_FALSE(exists(list_path() + ".tmp"));
}

TEST_F(ListUpdate, AddDropsBlankAndOverLongLinesAndEndsTheLastLine) {
  write_file(list_path(kExemptIpsList),
             "192.0.2.1\r\n\n" + std::string(1500, 'x') + "\n\n192.0.2.2");
  std::string printed;
  EXPECT_EQ(run(add_entry, kExemptIpsList, "192.0.2.3", &printed), 0);
  EXPECT_EQ(read_file(list_path(kExemptIpsList)), "192.0.2.1\n192.0.2.2\n192.0.2.3\n");
}

TEST_F(ListUpdate, NewListFilesFollowTheCreationMask) {
  const mode_t previous = umask(022);
  std::string printed;
  EXPECT_EQ(run(add_entry, kBlockedIpsList, "192.0.2.9", &printed), 0);
  umask(previous);
  struct stat status {};
  ASSERT_EQ(stat(list_path(kBlockedIpsList).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
}

TEST_F(ListUpdate, AddRefusesTheFiveHundredAndFirstLine) {
  // 499 lines, blank ones counted: room for one more.
  const std::string almost_full = "\n" + testing::numbered_lines("u", 498);
  write_file(list_path(kExemptUsersList), almost_full);
  std::string printed;
  EXPECT_EQ(run(add_entry, kExemptUsersList, "last@x.example", &printed), 0);
  EXPECT_EQ(read_file(list_path(kExemptUsersList)),
            testing::numbered_lines("u", 498) + "last@x.example\n");

  const std::string full = "\n\n" + testing::numbered_lines("u", 498);
  write_file(list_path(kExemptUsersList), full);
  EXPECT_EQ(run(add_entry, kExemptUsersList, "more@x.example", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: File is full.\n");
  EXPECT_EQ(read_file(list_path(kExemptUsersList)), full);
}

TEST_F(ListUpdate, DeleteRemovesEveryEqualLineAndAllBlankLines) {
  write_file(list_path(), "keep@x.example\n\nJoe@X.example\nother\r\njoe@x.EXAMPLE\n\n");
  std::string printed;
  EXPECT_EQ(run(del_entry, kFromWhitelistList, "joe@x.example", &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(read_file(list_path()), "keep@x.example\nother\n");

  EXPECT_EQ(run(del_entry, kFromWhitelistList, "nobody@x.example", &printed), 1);
  EXPECT_EQ(printed, "del_entry() ERROR: Entry not found. (nobody@x.example)\n");
  EXPECT_EQ(
      capture_.lines(),
      (std::vector<LoggedLine>{{3, "del_entry() ERROR: Entry not found. (nobody@x.example)\n"}}));
  EXPECT_EQ(read_file(list_path()), "keep@x.example\nother\n");
}

TEST_F(ListUpdate, DeleteKeepsLinesBeyondTheFiveHundredthUnchanged) {
  std::string head;
  for (int i = 1; i <= 500; ++i)
    head += (i % 100 == 0) ? "\n" : (i == 7 ? "gone\n" : "h" + std::to_string(i) + "\n");
  const std::string tail = "gone\n\n" + std::string(1200, 'z') + "\nt2\r\nlast-without-lf";
  write_file(list_path(), head + tail);
  std::string printed;
  EXPECT_EQ(run(del_entry, kFromWhitelistList, "GONE", &printed), 0);
  std::string kept_head;
  for (int i = 1; i <= 500; ++i) {
    if (i % 100 != 0 && i != 7) kept_head += "h" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(read_file(list_path()), kept_head + tail);
}

TEST_F(ListUpdate, UnknownListIdsWarn) {
  std::string printed;
  EXPECT_EQ(run(add_entry, 7, "x@x.example", &printed), -1);
  EXPECT_EQ(printed, "Warning: add_entry() called with unknown list id [7]\n");
  EXPECT_EQ(run(del_entry, 0, "x@x.example", &printed), -1);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(clear_exemption_list(testing::capture_sink, 6, dir_.base()), -1);
  EXPECT_EQ(capture_.lines(),
            (std::vector<LoggedLine>{
                {4, "Warning: add_entry() called with unknown list id [7]"},
                {4, "Warning: del_entry() called with unknown list id [0]"},
                {4, "Warning: clear_exemption_list() called with unknown list id [6]"}}));
}

TEST_F(ListUpdate, FailuresWithoutALogFunctionStillPrint) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(del_entry(nullptr, kBlockedFromList, "a@x.example", dir_.base()), 1);
  EXPECT_EQ(add_entry(nullptr, 9, "a@x.example", dir_.base()), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "del_entry() ERROR: Entry not found. (a@x.example)\n"
            "Warning: add_entry() called with unknown list id [9]\n");
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(ListUpdate, ReasonsAreCutToTheirBuffer) {
  write_file(list_path(), "a\n");
  std::string printed;
  EXPECT_EQ(run(del_entry, kFromWhitelistList, std::string(2000, 'e'), &printed), 1);
  const std::string reason = ("Entry not found. (" + std::string(2000, 'e')).substr(0, 1023);
  EXPECT_EQ(printed, "del_entry() ERROR: " + reason + "\n");
}

TEST_F(ListUpdate, EntriesSpanningLinesAreRefused) {
  write_file(list_path(), "a@x.example\n");
  std::string printed;
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "b@x.example\nc@x.example", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Entry must be a single line.\n");
  // A carriage return at the end would be read back without it, a duplicate of "a".
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "a@x.example\r", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Entry must be a single line.\n");
  EXPECT_EQ(run(del_entry, kFromWhitelistList, "a@x.example\r\n*", &printed), 1);
  EXPECT_EQ(printed, "del_entry() ERROR: Entry must be a single line.\n");
  EXPECT_EQ(capture_.lines(),
            (std::vector<LoggedLine>{{3, "add_entry() ERROR: Entry must be a single line.\n"},
                                     {3, "add_entry() ERROR: Entry must be a single line.\n"},
                                     {3, "del_entry() ERROR: Entry must be a single line.\n"}}));
  EXPECT_EQ(read_file(list_path()), "a@x.example\n");
  EXPECT_FALSE(exists(list_path() + ".tmp"));
}

TEST_F(ListUpdate, OpenFailuresLeaveTheListAlone) {
  write_file(list_path(), "a@x.example\n");
  std::filesystem::create_directory(list_path() + ".tmp");
  std::string printed;
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "b@x.example", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Unable to open temp file: Is a directory\n");
  EXPECT_EQ(read_file(list_path()), "a@x.example\n");

  EXPECT_EQ(
      add_entry(testing::capture_sink, kFromWhitelistList, "b@x.example", dir_.path("missing")), 1);
  EXPECT_EQ(capture_.texts().back(),
            "add_entry() ERROR: Unable to open list file: No such file or directory\n");
}

TEST_F(ListUpdate, HeldLockMakesTheUpdateFail) {
  write_file(list_path(), "a@x.example\n");
  // flock locks belong to the open file, so a second open conflicts even in this process.
  unique_fd holder(open(list_path().c_str(), O_RDONLY));
  ASSERT_TRUE(holder.valid());
  ASSERT_EQ(flock(holder.get(), LOCK_EX), 0);
  std::string printed;
  EXPECT_EQ(run(add_entry, kFromWhitelistList, "b@x.example", &printed), 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Failed to update list: Could not acquire lock.\n");
  EXPECT_EQ(read_file(list_path()), "a@x.example\n");
  EXPECT_FALSE(exists(list_path() + ".tmp"));
}

TEST_F(ListUpdate, ClearRemovesTheList) {
  write_file(list_path(kBlockedFromList), "a@x.example\n");
  EXPECT_EQ(clear_exemption_list(nullptr, kBlockedFromList, dir_.base()), 0);
  EXPECT_FALSE(exists(list_path(kBlockedFromList)));
  EXPECT_EQ(clear_exemption_list(nullptr, kBlockedFromList, dir_.base()), 0);
}

// Runs body in a child process with standard output sent to a file; returns the child's
// exit status and what it printed.
template <typename Body>
std::pair<int, std::string> run_in_child(const std::string& output_path, Body body) {
  const pid_t child = fork();
  if (child == 0) {
    const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(90);
    _exit(body());
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  return {WEXITSTATUS(status), read_file(output_path)};
}

TEST_F(ListUpdate, ShortWritesNeverReplaceTheList) {
  const std::string original = testing::numbered_lines("sender@x.example", 300);
  write_file(list_path(), original);
  const std::string output = dir_.path("stdout");
  for (auto* operation : {add_entry, del_entry}) {
    const auto [status, printed] = run_in_child(output, [&] {
      const rlimit limit{4096, 4096};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 91;
      (void)signal(SIGXFSZ, SIG_IGN);
      const std::string entry = operation == add_entry ? "new@x.example" : "sender@x.example1";
      return operation(nullptr, kFromWhitelistList, entry, dir_.base());
    });
    EXPECT_EQ(status, 1);
    const char* name = operation == add_entry ? "add_entry" : "del_entry";
    EXPECT_EQ(printed, std::string(name) + "() ERROR: Unable to write temp file: File too large\n");
    EXPECT_EQ(read_file(list_path()), original);
    EXPECT_FALSE(exists(list_path() + ".tmp"));
  }
}

TEST_F(ListUpdate, FullDiskNeverReplacesTheList) {
  const std::string mount_point = dir_.path("small");
  std::filesystem::create_directory(mount_point);
  const std::string output = dir_.path("stdout");
  const std::string list = mount_point + "/" + kBlockedFromFile;
  const std::string original = testing::numbered_lines("blocked@x.example", 150);
  const auto [status, printed] = run_in_child(output, [&] {
    if (unshare(CLONE_NEWNS) != 0) return 77;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    // One page: room for the list, none for its rewritten copy.
    if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=4k") != 0) return 77;
    const int fd = open(list.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 ||
        write(fd, original.data(), original.size()) != static_cast<ssize_t>(original.size())) {
      return 92;
    }
    close(fd);
    const int result = add_entry(nullptr, kBlockedFromList, "new@x.example", mount_point);
    const bool intact = read_file(list) == original && !exists(list + ".tmp");
    return intact ? result : 93;
  });
  if (status == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, 1);
  EXPECT_EQ(printed, "add_entry() ERROR: Unable to write temp file: No space left on device\n");
}

TEST_F(ListUpdate, ConcurrentAddsLoseNoEntry) {
  constexpr int kWriters = 12;
  constexpr int kEntriesEach = 6;
  std::vector<pid_t> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const int devnull = open("/dev/null", O_WRONLY);
      if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) _exit(90);
      int failed = 0;
      for (int i = 0; i < kEntriesEach; ++i) {
        const std::string entry = "w" + std::to_string(writer) + "-" + std::to_string(i);
        // A writer that cannot get the lock in time reports it; it may try again.
        int result = 1;
        for (int attempt = 0; attempt < 20 && result != 0; ++attempt) {
          result = add_entry(nullptr, kFromWhitelistList, entry, dir_.base());
        }
        if (result != 0) ++failed;
      }
      _exit(failed);
    }
    writers.push_back(child);
  }
  for (const pid_t child : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::multiset<std::string> expected;
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kEntriesEach; ++i) {
      expected.insert("w" + std::to_string(writer) + "-" + std::to_string(i));
    }
  }
  std::multiset<std::string> found;
  std::istringstream lines(read_file(list_path()));
  for (std::string line; std::getline(lines, line);) found.insert(line);
  EXPECT_EQ(found, expected);
  EXPECT_FALSE(exists(list_path() + ".tmp"));
}

}  // namespace
}  // namespace korvex
