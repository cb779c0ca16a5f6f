#include "tests/e2e/sandbox.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <net/if.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvex::testing {
namespace {

constexpr const char* kFreshDirectories[] = {"/etc/korvex",       "/var/log/korvex",
                                             "/var/cache/tarn",   "/var/cache/korvex",
                                             "/var/cores",        "/usr/share/korvex",
                                             "/var/qmail"};

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string host_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

using SandboxFiles = SandboxTest;

TEST_F(SandboxFiles, PlacedFilesAreSeenInsideAndGoneFromTheHostAfterwards) {
  end_sandbox();
  const std::string host_resolver = host_file("/etc/resolv.conf");
  start_sandbox();
  ASSERT_TRUE(has_sandbox());
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/debug", "1\n", 0640));
  ASSERT_TRUE(sandbox().place_file("/var/qmail/bin/sendmail", "#!/bin/sh\nexit 0\n", 0755));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex-elsewhere", "x"));
  ASSERT_TRUE(sandbox().place_file("/tmp/scratch", ""));
  ASSERT_TRUE(sandbox().make_directory("/var/cache/tarn/incoming", 0700));
  for (const char* directory : kFreshDirectories) {
    EXPECT_TRUE(exists(directory)) << directory;
  }
  EXPECT_EQ(sandbox().read_file("/etc/korvex/control/debug"), "1\n");
  EXPECT_EQ(sandbox().list_directory("/etc/korvex"), std::vector<std::string>{"control"});
  EXPECT_EQ(sandbox().list_directory("/var/cores"), std::vector<std::string>{});
  EXPECT_EQ(sandbox().list_directory("/nowhere"), std::nullopt);
  EXPECT_EQ(sandbox().read_file("/etc/korvex/absent"), std::nullopt);

  const RunResult listing =
      sandbox().run({"/usr/bin/stat", "-c", "%a %F %n", "/etc/korvex/control/debug",
                     "/var/qmail/bin/sendmail", "/var/cache/tarn/incoming"});
  ASSERT_TRUE(listing.exited_with(0)) << listing.describe();
  EXPECT_EQ(listing.out,
            "640 regular file /etc/korvex/control/debug\n"
            "755 regular file /var/qmail/bin/sendmail\n"
            "700 directory /var/cache/tarn/incoming\n");
  end_sandbox();

  for (const char* path : {"/etc/korvex", "/var/log/korvex", "/var/cache/tarn", "/var/cores",
                           "/usr/share/korvex", "/var/qmail", "/etc/korvex-elsewhere",
                           "/tmp/scratch", "/dev/log"}) {
    EXPECT_FALSE(exists(path)) << path << " exists on the host";
  }
  EXPECT_EQ(host_file("/etc/resolv.conf"), host_resolver);
}

TEST_F(SandboxFiles, RefusesPathsOutsideThePrivateTrees) {
  EXPECT_FALSE(sandbox().place_file("/opt/korvex/x", "x"));
  EXPECT_FALSE(sandbox().place_file("/etc/../opt/x", "x"));
  EXPECT_FALSE(sandbox().place_file("/etc/", "x"));
  EXPECT_FALSE(sandbox().place_file("etc/korvex/x", "x"));
  EXPECT_FALSE(sandbox().make_directory("/root/korvex"));
  EXPECT_FALSE(sandbox().install_program("/bin/true", "sub/dir"));
  EXPECT_FALSE(sandbox().install_program("/nonexistent/program", "x"));
  EXPECT_STREQ(sandbox().place_file("/opt/korvex/x", "x").message(),
               "not a sandbox-private path: /opt/korvex/x");
  EXPECT_FALSE(exists("/opt/korvex"));
}

TEST_F(SandboxFiles, ResolverConfigAndDevicesArePrivate) {
  EXPECT_EQ(sandbox().read_file("/etc/resolv.conf"), "nameserver 127.0.0.1\n");
  EXPECT_EQ(sandbox().list_directory("/dev"),
            (std::vector<std::string>{"fd", "full", "log", "null", "ptmx", "pts", "random",
                                      "shm", "stderr", "stdin", "stdout", "tty", "urandom",
                                      "zero"}));
  const RunResult devices = sandbox().run(
      {"/bin/sh", "-c",
       "echo gone > /dev/null && head -c 3 /dev/zero | od -An -tx1 && "
       "head -c 8 /dev/urandom | wc -c && echo shm > /dev/shm/x && cat /dev/shm/x"});
  ASSERT_TRUE(devices.exited_with(0)) << devices.describe();
  EXPECT_EQ(devices.out, " 00 00 00\n8\nshm\n");
}

TEST_F(SandboxFiles, RepeatedSandboxesStartEmpty) {
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "192.0.2.1\n"));
  ASSERT_TRUE(sandbox().dns().add_a("first.example", "192.0.2.1"));
  start_sandbox();
  ASSERT_TRUE(has_sandbox());
  EXPECT_EQ(sandbox().list_directory("/etc/korvex"), std::vector<std::string>{});
  EXPECT_EQ(sandbox().dns().query_count("first.example"), 0);
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "192.0.2.2\n"));
  EXPECT_EQ(sandbox().read_file("/etc/korvex/exempt_ips"), "192.0.2.2\n");
  const Sandbox::Start second = Sandbox::create();
  EXPECT_EQ(second.sandbox, nullptr);
  EXPECT_EQ(second.failure, Sandbox::Failure::broken);
  EXPECT_EQ(second.message, "another sandbox is still active in this process");
}

TEST_F(SandboxFiles, HostDirectoriesBelowTmpStayInSightWhenKept) {
  end_sandbox();
  char pattern[] = "/tmp/korvex kept XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
  const std::string kept = pattern;
  { std::ofstream(kept + "/data.txt") << "from the host\n"; }
  {
    const Sandbox::Start start = Sandbox::create({kept});
    ASSERT_NE(start.sandbox, nullptr) << start.message;
    Sandbox& inside = *start.sandbox;
    const RunResult shown = inside.run({"/bin/cat", kept + "/data.txt"});
    EXPECT_TRUE(shown.exited_with(0)) << shown.describe();
    EXPECT_EQ(shown.out, "from the host\n");
    // The checkout itself is kept too, wherever it lives.
    EXPECT_TRUE(inside.read_file(KORVEX_TEST_SOURCE_FILE).has_value());
    ASSERT_TRUE(inside.place_file("/tmp/scratch", ""));
    EXPECT_EQ(inside.list_directory("/tmp"), std::vector<std::string>{"scratch"});
  }
  EXPECT_FALSE(exists("/tmp/scratch"));
  EXPECT_EQ(host_file(kept + "/data.txt"), "from the host\n");
  (void)unlink((kept + "/data.txt").c_str());
  (void)rmdir(kept.c_str());
}

std::size_t entries_in(const char* directory) {
  std::size_t count = 0;
  if (DIR* listing = opendir(directory)) {
    while (readdir(listing) != nullptr) ++count;
    (void)closedir(listing);
  }
  return count;
}

TEST_F(SandboxFiles, EndingASandboxLeavesNoDescriptorsOrThreads) {
  end_sandbox();
  const std::size_t descriptors = entries_in("/proc/self/fd");
  const std::size_t threads = entries_in("/proc/self/task");
  for (int round = 0; round < 3; ++round) {
    start_sandbox();
    ASSERT_TRUE(has_sandbox());
    sandbox().http().serve_body("/", "x");
    EXPECT_EQ(sandbox().run({"/usr/bin/curl", "-s", "http://127.0.0.1/"}).out, "x");
    end_sandbox();
  }
  EXPECT_EQ(entries_in("/proc/self/fd"), descriptors);
  EXPECT_EQ(entries_in("/proc/self/task"), threads);
}

using SandboxIsolation = SandboxTest;

TEST_F(SandboxIsolation, OnlyLoopbackExists) {
  struct if_nameindex* interfaces = if_nameindex();
  ASSERT_NE(interfaces, nullptr);
  std::vector<std::string> names;
  for (const struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    names.emplace_back(entry->if_name);
  }
  if_freenameindex(interfaces);
  EXPECT_EQ(names, std::vector<std::string>{"lo"});
}

TEST_F(SandboxIsolation, SharedMemoryStaysOnItsOwnSide) {
  // Keys of this process alone, so that test runs side by side on one host do not meet.
  const key_t kInsideKey = static_cast<key_t>(0x4b560000 | (getpid() & 0x7fff));
  const key_t kHostKey = static_cast<key_t>(0x4b568000 | (getpid() & 0x7fff));
  const int inside = shmget(kInsideKey, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(inside, 0) << strerror(errno);
  EXPECT_EQ(shmget(kInsideKey, 0, 0), inside);
  end_sandbox();

  EXPECT_EQ(shmget(kInsideKey, 0, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  const int host = shmget(kHostKey, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(host, 0) << strerror(errno);
  start_sandbox();
  const bool started = has_sandbox();
  const int seen_inside = started ? shmget(kHostKey, 0, 0) : -2;
  const int error_inside = errno;
  end_sandbox();
  EXPECT_EQ(shmctl(host, IPC_RMID, nullptr), 0);
  ASSERT_TRUE(started);
  EXPECT_EQ(seen_inside, -1);
  EXPECT_EQ(error_inside, ENOENT);
}

// Runs one test of this binary as an unprivileged user, so that it cannot make
// namespaces, and returns the run.
RunResult run_self_unprivileged(const std::vector<std::string>& environment) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return RunResult{};
  self[length] = '\0';
  return run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                      self, "--gtest_filter=SandboxUnprivileged.ProbeOnly"},
                     {.env = environment, .inherit_environment = false, .input = {},
                      .directory = "/", .timeout_seconds = 60});
}

using SandboxUnprivileged = SandboxTest;

// Reached only through run_self_unprivileged; as root it simply has a sandbox.
TEST_F(SandboxUnprivileged, ProbeOnly) { EXPECT_TRUE(has_sandbox()); }

TEST(SandboxWithoutPrivilege, SkipsOutsideCiAndFailsInCi) {
  const RunResult skipped = run_self_unprivileged({});
  EXPECT_TRUE(skipped.exited_with(0)) << skipped.describe();
  EXPECT_NE(skipped.out.find("whole-program test skipped: private namespaces are not available "
                             "here (unshare mount, network and IPC namespaces: Operation not "
                             "permitted); run as root to include it"),
            std::string::npos)
      << skipped.out;
  EXPECT_NE(skipped.out.find("[  SKIPPED ] SandboxUnprivileged.ProbeOnly"), std::string::npos);

  const RunResult failed = run_self_unprivileged({"CI=true"});
  EXPECT_TRUE(failed.exited_with(1)) << failed.describe();
  EXPECT_NE(failed.out.find("no sandbox: unshare mount, network and IPC namespaces: Operation "
                            "not permitted"),
            std::string::npos)
      << failed.out;
  EXPECT_NE(failed.out.find("[  FAILED  ] SandboxUnprivileged.ProbeOnly"), std::string::npos);
}

}  // namespace
}  // namespace korvex::testing
