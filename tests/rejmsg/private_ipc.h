// private_ipc - test fixture that runs each test in a fresh private IPC namespace, so the
// cache segments a test makes never reach the host, and checks on the way back that the
// host gained or lost no segment under the cache's keys. Also: raw segment helpers and a
// way to run code as an unprivileged user.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "rejmsg/rejmsg_paths.h"

namespace korvex::testing {

inline key_t cache_key(int id) { return ftok(kRejectionKeyFile, id); }

// Every ReasonId whose key has a segment in the current namespace.
inline std::set<int> ids_with_segments() {
  std::set<int> ids;
  for (int id = 1; id < 256; ++id) {
    if (shmget(cache_key(id), 0, 0) != -1) ids.insert(id);
  }
  return ids;
}

// Number of segments of any key in the current namespace.
inline int segment_count() {
  shm_info info{};
  if (shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info)) == -1) return -1;
  return info.used_ids;
}

// A segment's whole content and its permission bits.
struct RawSegment {
  std::vector<unsigned char> bytes;
  int mode = 0;
  bool operator==(const RawSegment&) const = default;
};

inline RawSegment read_segment(int id) {
  RawSegment segment;
  const int shmid = shmget(cache_key(id), 0, 0);
  shmid_ds info{};
  if (shmid == -1 || shmctl(shmid, IPC_STAT, &info) == -1) return segment;
  void* address = shmat(shmid, nullptr, SHM_RDONLY);
  if (address == reinterpret_cast<void*>(-1)) return segment;
  const auto* bytes = static_cast<const unsigned char*>(address);
  segment.bytes.assign(bytes, bytes + info.shm_segsz);
  segment.mode = info.shm_perm.mode & 0777;
  EXPECT_EQ(shmdt(address), 0);
  return segment;
}

// Makes a segment under id's key the way an older build or a damaged writer would.
inline void make_segment(int id, const std::vector<unsigned char>& bytes, int mode) {
  const int shmid = shmget(cache_key(id), bytes.size(), IPC_CREAT | IPC_EXCL | mode);
  ASSERT_NE(shmid, -1) << std::strerror(errno);
  void* address = shmat(shmid, nullptr, 0);
  ASSERT_NE(address, reinterpret_cast<void*>(-1)) << std::strerror(errno);
  std::memcpy(address, bytes.data(), bytes.size());
  ASSERT_EQ(shmdt(address), 0);
}

// A length word (little-endian) followed by text bytes.
inline std::vector<unsigned char> segment_layout(std::uint32_t length, const std::string& text) {
  std::vector<unsigned char> bytes{static_cast<unsigned char>(length),
                                   static_cast<unsigned char>(length >> 8),
                                   static_cast<unsigned char>(length >> 16),
                                   static_cast<unsigned char>(length >> 24)};
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

// Runs work in a child process as the user nobody (in the test's namespace) and returns
// what the child wrote on standard error followed by the text work returned.
inline std::string run_as_nobody(const std::function<std::string()>& work) {
  int channel[2];
  if (pipe(channel) == -1) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    if (dup2(channel[1], STDERR_FILENO) == -1 || setgid(65534) == -1 || setuid(65534) == -1) {
      _exit(2);
    }
    const std::string result = work();
    std::fflush(stderr);
    const ssize_t written = write(channel[1], result.data(), result.size());
    _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 3);
  }
  close(channel[1]);
  std::string output;
  char buffer[512];
  ssize_t got;
  while ((got = read(channel[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(channel[0]);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return output;
}

class PrivateIpc : public ::testing::Test {
 protected:
  void SetUp() override {
    host_namespace_ = open("/proc/self/ns/ipc", O_RDONLY | O_CLOEXEC);
    ASSERT_NE(host_namespace_, -1) << std::strerror(errno);
    host_ids_ = ids_with_segments();
    ASSERT_EQ(unshare(CLONE_NEWIPC), 0) << std::strerror(errno);
    ASSERT_EQ(segment_count(), 0);
  }

  void TearDown() override {
    if (host_namespace_ == -1) return;
    // Leaving the private namespace destroys it together with every segment in it.
    ASSERT_EQ(setns(host_namespace_, CLONE_NEWIPC), 0) << std::strerror(errno);
    close(host_namespace_);
    EXPECT_EQ(ids_with_segments(), host_ids_) << "segments appeared or vanished on the host";
  }

 private:
  int host_namespace_ = -1;
  std::set<int> host_ids_;
};

}  // namespace korvex::testing
