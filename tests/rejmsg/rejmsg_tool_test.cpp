#include "rejmsg/rejmsg_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "rejmsg/rejection_cache.h"
#include "tests/rejmsg/private_ipc.h"
#include "tests/rejmsg/temp_dir.h"

namespace korvex {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using testing::segment_count;
using Files = std::map<std::string, std::string>;

constexpr int kRequireHelo = 21;

const std::string kUsage =
    "======================================================\n"
    "\n"
    "Usage: korvex-rejmsg [options]\n"
    "\t-n <rule_name>\n"
    "\t-m <message_to_set>\n"
    "\t-a (add the message)\n"
    "\t-r (remove the rule message)\n"
    "\t-i (initialize the cache from file set)\n";

struct Outcome {
  int status;
  std::string out;
  std::string err;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "{" << o.status << ", \"" << o.out << "\", \"" << o.err << "\"}";
}

class RejmsgTool : public testing::PrivateIpc {
 protected:
  Outcome run(std::vector<std::string> args) { return run_in(dir_.path(), std::move(args)); }

  static Outcome run_in(const std::string& directory, std::vector<std::string> args) {
    args.insert(args.begin(), "korvex-rejmsg");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    CaptureStdout();
    CaptureStderr();
    const int status = rejmsg_run(static_cast<int>(args.size()), argv.data(), directory);
    std::string out = GetCapturedStdout();
    return {status, out, GetCapturedStderr()};
  }

  testing::TempDir dir_;
};

TEST_F(RejmsgTool, RepeatedOptionsOrNoArgumentsGiveTheUsageAndChangeNothing) {
  const std::vector<std::vector<std::string>> command_lines{
      {},
      {"-a", "-r", "-n", "require_helo", "-m", "x"},
      {"-a", "-a", "-n", "require_helo", "-m", "x"},
      {"-i", "-i"},
      {"-n", "require_helo", "-n", "require_helo", "-a", "-m", "x"},
      {"-a", "-n", "require_helo", "-m", "x", "-m", "y"},
  };
  for (const auto& args : command_lines) {
    EXPECT_EQ(run(args), (Outcome{1, kUsage, ""})) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(dir_.contents(), Files{});
  EXPECT_EQ(segment_count(), 0);
}

TEST_F(RejmsgTool, ValidationReportsTheFirstProblemThenTheUsage) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"-n", "require_helo", "-m", "x"}, "Unknown operation\n"},
      {{"-a", "-m", "x"}, "Add or Remove must specify the rule name\n"},
      {{"-r", "-n", ""}, "Add or Remove must specify the rule name\n"},
      {{"-a", "-n", "no_such_rule"}, "Add operation must specify the message flag\n"},
      {{"-a", "-n", "require_helo"}, "Add operation must specify the message flag\n"},
      {{"-r", "-n", "REQUIRE_HELO"}, "unknown rule [REQUIRE_HELO]\n"},
      {{"-a", "-n", "no_such_rule", "-m", "x"}, "unknown rule [no_such_rule]\n"},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(run(args), (Outcome{1, kUsage, message})) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(dir_.contents(), Files{});
}

TEST_F(RejmsgTool, AMissingDirectoryMakesEveryRuleUnknownAndInitFail) {
  const std::string missing = dir_.file("absent");
  const std::string fatal = "Fatal error: persistent storage path " + missing + " does not exist!\n";
  EXPECT_EQ(run_in(missing, {"-a", "-n", "require_helo", "-m", "x"}),
            (Outcome{1, kUsage, fatal + "unknown rule [require_helo]\n"}));
  EXPECT_EQ(run_in(missing, {"-r", "-n", "require_helo"}),
            (Outcome{1, kUsage, fatal + "unknown rule [require_helo]\n"}));
  EXPECT_EQ(run_in(missing, {"-i"}), (Outcome{-1, "", fatal}));
  EXPECT_EQ(segment_count(), 0);
}

TEST_F(RejmsgTool, AddWritesTheFileThenTheCache) {
  EXPECT_EQ(run({"-a", "-n", "require_helo", "-m", "Say HELO first, %IP%"}), (Outcome{0, "", ""}));
  EXPECT_EQ(dir_.contents(), (Files{{"require_helo", "Say HELO first, %IP%"}}));
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), "Say HELO first, %IP%");

  // A shorter message replaces the whole of the longer one.
  EXPECT_EQ(run({"-n", "require_helo", "-m", "Bye", "-a"}), (Outcome{0, "", ""}));
  EXPECT_EQ(dir_.contents(), (Files{{"require_helo", "Bye"}}));
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), "Bye");
  EXPECT_EQ(segment_count(), 1);

  // An empty message removes both.
  EXPECT_EQ(run({"-a", "-n", "require_helo", "-m", ""}), (Outcome{0, "", ""}));
  EXPECT_EQ(dir_.contents(), Files{});
  EXPECT_EQ(segment_count(), 0);
}

TEST_F(RejmsgTool, AddReportsFileAndCacheFailuresApart) {
  ASSERT_EQ(mkdir(dir_.file("block_lists").c_str(), 0755), 0);
  EXPECT_EQ(run({"-a", "-n", "block_lists", "-m", "x"}),
            (Outcome{-1, "", "error opening control file [" + dir_.file("block_lists") +
                                 "] for writing\n"}));
  {
    std::ofstream limit("/proc/sys/kernel/shmmax");  // no segment can be made now
    limit << 8;
  }
  EXPECT_EQ(run({"-a", "-n", "require_helo", "-m", "file but no cache"}),
            (Outcome{-3, "", "error adding message to live cache\n"}));
  EXPECT_EQ(dir_.contents(),
            (Files{{"block_lists", "<dir>"}, {"require_helo", "file but no cache"}}));
  EXPECT_EQ(segment_count(), 0);
}

TEST_F(RejmsgTool, RemoveDeletesTheFileAndTheSegment) {
  ASSERT_EQ(run({"-a", "-n", "require_helo", "-m", "custom"}).status, 0);
  ASSERT_TRUE(rejection_cache_store(44, "stale, without a file"));
  EXPECT_EQ(run({"-r", "-n", "require_helo"}), (Outcome{0, "", ""}));
  EXPECT_EQ(run({"-r", "-n", "block_lists"}), (Outcome{0, "", ""}));
  EXPECT_EQ(dir_.contents(), Files{});
  EXPECT_EQ(segment_count(), 0);

  // A file that cannot be deleted would bring the message back: that is a failure, and
  // the cache is left as it was.
  ASSERT_TRUE(rejection_cache_store(44, "kept"));
  ASSERT_EQ(mkdir(dir_.file("block_lists").c_str(), 0755), 0);
  EXPECT_EQ(run({"-r", "-n", "block_lists"}),
            (Outcome{-1, "", "error removing control file [" + dir_.file("block_lists") + "]\n"}));
  EXPECT_EQ(rejection_cache_fetch(44), "kept");
}

TEST_F(RejmsgTool, InitIgnoresNameAndMessageAndRebuildsFromTheFiles) {
  dir_.write("block_lists", "Listed at %TARN%");
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "stale"));
  EXPECT_EQ(run({"-n", "require_helo", "-x", "-m", "ignored", "-i"}),
            (Outcome{0, "", "korvex-rejmsg: invalid option -- 'x'\n"}));
  EXPECT_EQ(rejection_cache_fetch(44), "Listed at %TARN%");
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), std::nullopt);
  EXPECT_EQ(dir_.contents(), (Files{{"block_lists", "Listed at %TARN%"}}));
}

// Whether /proc/locks shows process pid waiting for a lock.
bool waits_for_lock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    if (line.find("-> POSIX") != std::string::npos &&
        line.find(" " + std::to_string(pid) + " ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST_F(RejmsgTool, AddWaitsForTheWriteLockOfAnotherWriter) {
  dir_.write("require_helo", "held by another writer");
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(dir_.file("require_helo").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    char byte = 0;
    const bool held = fd != -1 && fcntl(fd, F_SETLKW, &lock) == 0;
    _exit(held && write(ready[1], "r", 1) == 1 && read(release[0], &byte, 1) == 1 ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  const pid_t adder = fork();
  if (adder == 0) {
    std::string args[] = {"korvex-rejmsg", "-a", "-n", "require_helo", "-m", "after the lock"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), args[5].data(), nullptr};
    _exit(rejmsg_run(6, argv, dir_.path()) & 0xff);
  }
  // Bounded wait until the adder is queued behind the holder's lock.
  for (int tries = 0; tries < 2000 && !waits_for_lock(adder); ++tries) usleep(5000);
  EXPECT_TRUE(waits_for_lock(adder));
  EXPECT_EQ(dir_.contents(), (Files{{"require_helo", "held by another writer"}}));
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), std::nullopt);

  ASSERT_EQ(write(release[1], "g", 1), 1);
  int status = -1;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(waitpid(adder, &status, 0), adder);
  EXPECT_EQ(status, 0);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
  EXPECT_EQ(dir_.contents(), (Files{{"require_helo", "after the lock"}}));
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), "after the lock");
}

}  // namespace
}  // namespace korvex
