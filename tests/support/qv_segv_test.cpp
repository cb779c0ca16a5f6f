#include "support/qv_segv.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/qv_segv_internal.h"
#include "tests/support/child_process.h"
#include "tests/support/located_lines.h"
#include "tests/support/temp_dir.h"

namespace korvex {
namespace {

using testing::ChildChannel;
using testing::TempDir;

// The children report diagnostics straight into their pipe: the fault handler logs from
// signal context, where nothing may be buffered for later.
int report_fd = -1;

__attribute__((format(printf, 2, 3))) void pipe_sink(int priority, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // Only this module's lines: the string routines it calls trace too.
  if (length < 0 || std::strncmp(text, "qv_segv:", 8) != 0) return;
  const std::string line =
      std::to_string(priority) + " " + testing::without_line_number(text) + "\n";
  (void)!write(report_fd, line.data(), line.size());
}

// Start reporting diagnostics, with debug lines, to the parent.
void report_to(const ChildChannel& channel) {
  report_fd = channel.fd();
  setenv("VERBOSEDEBUG", "", 1);
  qv_set_logger(pipe_sink);
  alarm(30);  // a child that fails to die must not hang the suite
}

// no_core_here - the trap lifts the core limit; a child that is expected to dump into
// the working directory of the test run must not leave a core file there.
void no_core_here() {
  rlimit limit{};
  getrlimit(RLIMIT_CORE, &limit);
  limit.rlim_cur = 0;
  setrlimit(RLIMIT_CORE, &limit);
}

// fault - a real segmentation fault: a store into a page that allows no access.
[[noreturn]] void fault() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
  std::abort();  // not reached
}

std::string directory_listing(const std::string& path) {
  std::string names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names += entry.path().filename().string() + "\n";
  }
  return names;
}

// The core file's name when the host writes plain-named cores into the working directory.
std::string core_file_name(pid_t pid) {
  std::ifstream pattern_file("/proc/sys/kernel/core_pattern");
  std::string pattern;
  std::getline(pattern_file, pattern);
  if (pattern.empty() || pattern.find_first_of("/|%") != std::string::npos) return "";
  std::ifstream uses_pid_file("/proc/sys/kernel/core_uses_pid");
  int uses_pid = 0;
  uses_pid_file >> uses_pid;
  return uses_pid != 0 ? pattern + "." + std::to_string(pid) : pattern;
}

TEST(QvSegv, FaultDumpsCoreIntoAPrivateDirectory) {
  TempDir base;
  const auto outcome = testing::run_in_child([&base](const ChildChannel& channel) {
    report_to(channel);
    if (qv_trap_segfault("kxtest", base.path().c_str()) != 1) return std::string("no trap");
    channel.send(std::string("recorded ") + qv_app_prefix.load() + "\n");
    fault();
  });
  const std::string directory = base.path() + "/kxtest." + std::to_string(outcome.pid);
  EXPECT_TRUE(outcome.killed_by(SIGABRT)) << "status " << outcome.status;
  EXPECT_EQ(outcome.report,
            "7 qv_segv DEBUG qv_trap_segfault(): generated core dump path [" + directory +
                "]\n"
                "7 qv_segv DEBUG qv_trap_segfault(): segmentation fault is trapped!\n"
                "recorded " +
                directory +
                "\n"
                "7 qv_segv DEBUG __qv_handle_segfault(): dumping core in directory " +
                directory + "\n");
  struct stat status {};
  ASSERT_EQ(stat(directory.c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0700u);
  const std::string core = core_file_name(outcome.pid);
  if (!core.empty()) {
    EXPECT_EQ(directory_listing(directory), core + "\n");
  }
}

TEST(QvSegv, FaultWithoutAUsableDirectoryStillAborts) {
  TempDir base;
  const std::string missing_base = base.file("missing");
  const auto outcome = testing::run_in_child([&missing_base](const ChildChannel& channel) {
    report_to(channel);
    qv_set_logger(nullptr);  // only the handler's lines matter here
    if (qv_trap_segfault("kxtest", missing_base.c_str()) != 1) return std::string("no trap");
    no_core_here();
    qv_set_logger(pipe_sink);
    fault();
  });
  EXPECT_TRUE(outcome.killed_by(SIGABRT)) << "status " << outcome.status;
  EXPECT_EQ(outcome.report,
            std::string("3 qv_segv ERROR __qv_handle_segfault(): ") + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(directory_listing(base.path()), "");
}

TEST(QvSegv, StopSignalsReleaseThePathAndStillEndTheProgram) {
  for (const int stop_signal : {SIGTERM, SIGINT, SIGHUP}) {
    TempDir base;
    const auto outcome = testing::run_in_child([&](const ChildChannel& channel) {
      if (qv_trap_segfault("kxtest", base.path().c_str()) != 1) return std::string("no trap");
      alarm(30);
      channel.send("trapped\n");
      kill(getpid(), stop_signal);
      return std::string("survived\n");
    });
    EXPECT_TRUE(outcome.killed_by(stop_signal))
        << strsignal(stop_signal) << ": status " << outcome.status;
    EXPECT_EQ(outcome.report, "trapped\n");
    EXPECT_EQ(directory_listing(base.path()), "");
  }
}

TEST(QvSegv, FaultAfterCleanUpEndsTheProcessAtOnce) {
  TempDir base;
  const auto outcome = testing::run_in_child([&base](const ChildChannel& channel) {
    if (qv_trap_segfault("kxtest", base.path().c_str()) != 1) return std::string("no trap");
    alarm(30);  // returning into the faulting store would loop until this fires
    no_core_here();
    __qv_segv_cleanup_wrapper();
    channel.send(qv_app_prefix.load() == nullptr ? "released\n" : "still recorded\n");
    fault();
  });
  EXPECT_TRUE(outcome.killed_by(SIGSEGV)) << "status " << outcome.status;
  EXPECT_EQ(outcome.report, "released\n");
  EXPECT_EQ(directory_listing(base.path()), "");
}

// Registered before the trap, so it runs after the trap's own exit routine.
void report_prefix_at_exit() {
  const char* text = qv_app_prefix.load() == nullptr ? "released at exit\n" : "kept at exit\n";
  (void)!write(report_fd, text, std::strlen(text));
  _exit(0);
}

TEST(QvSegv, NormalExitReleasesThePath) {
  TempDir base;
  const auto outcome = testing::run_in_child([&base](const ChildChannel& channel) {
    report_fd = channel.fd();
    if (std::atexit(report_prefix_at_exit) != 0) return std::string("no atexit");
    if (qv_trap_segfault("kxtest", base.path().c_str()) != 1) return std::string("no trap");
    std::exit(0);
  });
  EXPECT_TRUE(outcome.exited_with(0));
  EXPECT_EQ(outcome.report, "released at exit\n");
}

TEST(QvSegv, RejectedArgumentsStillLiftTheCoreLimit) {
  const auto outcome = testing::run_in_child([](const ChildChannel& channel) {
    report_to(channel);
    rlimit none{};
    getrlimit(RLIMIT_CORE, &none);
    none.rlim_cur = 0;
    if (setrlimit(RLIMIT_CORE, &none) != 0) return std::string("cannot lower the limit");
    const int empty_base = qv_trap_segfault("ksfpull", "");
    const int no_name = qv_trap_segfault(nullptr, "/tmp");
    rlimit now{};
    getrlimit(RLIMIT_CORE, &now);
    return "results " + std::to_string(empty_base) + " " + std::to_string(no_name) +
           (now.rlim_cur == RLIM_INFINITY ? " unlimited" : " limited") +
           (qv_app_prefix.load() == nullptr ? " no path\n" : " path\n");
  });
  ASSERT_TRUE(outcome.exited_with(0));
  const std::string refused =
      std::string("3 qv_segv ERROR qv_trap_segfault(): ") + std::strerror(EINVAL) + "\n";
  EXPECT_EQ(outcome.report, refused + refused + "results 0 0 unlimited no path\n");
}

}  // namespace
}  // namespace korvex
