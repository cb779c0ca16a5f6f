// sandbox - a private world for whole-program tests.
//
// Creating a Sandbox moves the calling process into new mount, network and IPC
// namespaces and builds there:
//   - /etc, /var and /usr as overlays whose writes land in memory (the host's files stay
//     readable and untouched); fresh tmpfs mounts over /etc/korvex, /var/log/korvex,
//     /var/cache/tarn, /var/cores, /usr/share/korvex, /var/qmail and /tmp; the checkout and
//     the build tree (and any directory create is asked to keep) stay visible at their own
//     paths even when they lie below /tmp;
//   - /etc/resolv.conf with "nameserver 127.0.0.1", and a DnsResponder on 127.0.0.1:53;
//   - an HttpServer on 127.0.0.1:80 (http()) and one on a free port (http_alt());
//   - loopback up, no other network; SysV IPC private to the sandbox;
//   - a tmpfs /dev holding null, zero, full, random, urandom, tty, pts, shm and the fd
//     links, and a datagram socket at /dev/log whose messages are captured as SyslogLine.
// Programs run with run() are children of the test process and so live inside too.
// Destroying the Sandbox stops the servers and returns the process to the host's
// namespaces; everything made inside disappears with it. One Sandbox may exist at a time,
// and it must be created while the process has a single thread (ctest runs each test
// case in a process of its own; running a test binary by hand creates them one after
// another, which works as well).
//
// Typical use:
//
//   class PluginRun : public korvex::testing::SandboxTest {};
//
//   TEST_F(PluginRun, RefusesABlockedPeer) {
//     ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
//     ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.9\n"));
//     ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.9", "dyn-9.example.net"));
//     const RunResult run = sandbox().run({"/usr/share/korvex/bin/korvex-plesk"},
//                                         {.env = {"TCPREMOTEIP=192.0.2.9"}});
//     ASSERT_TRUE(run.exited_with(0)) << run.describe();
//     EXPECT_EQ(run.out, "...");
//     EXPECT_EQ(run.syslog.at(0).describe(), "mail.info korvex-plesk: ...");
//   }
//
// SandboxTest fails the test when namespaces cannot be made and the environment variable
// CI is "true", and skips it with the reason otherwise; it never lets it pass unchecked.
//
// Exports: kProgramDirectory, kPrivateRoots, Sandbox, SandboxTest.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/program_runner.h"
#include "tests/e2e/syslog_sink.h"
#include "tests/testkit/dns_responder.h"
#include "tests/testkit/http_server.h"
#include "tests/testkit/unique_fd.h"

namespace korvex::testing {

// Where install_program puts built programs.
inline constexpr const char* kProgramDirectory = "/usr/share/korvex/bin";

// The trees a test may write into; everything written there vanishes with the sandbox.
inline constexpr std::array<std::string_view, 4> kPrivateRoots = {"/etc/", "/var/", "/usr/",
                                                                  "/tmp/"};

class Sandbox {
 public:
  enum class Failure { none, unavailable, broken };
  struct Start {
    std::unique_ptr<Sandbox> sandbox;
    Failure failure = Failure::none;
    std::string message;  // why there is no sandbox
  };

  // create - enter fresh namespaces and build the private world, keeping the host's
  // directories keep_visible (besides the checkout and the build tree) in sight.
  // unavailable: this machine cannot make namespaces (no privilege); broken: it could, and
  // setup failed.
  static Start create(const std::vector<std::string>& keep_visible = {});
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  DnsResponder& dns() { return dns_; }
  HttpServer& http() { return http_; }          // 127.0.0.1:80
  HttpServer& http_alt() { return http_alt_; }  // 127.0.0.1:http_alt().port()

  // place_file - write content to path (parents made 0755) with exactly mode.
  ::testing::AssertionResult place_file(const std::string& path, std::string_view content,
                                        mode_t mode = 0644);
  // make_directory - create path and its parents; mode applies to the last one.
  ::testing::AssertionResult make_directory(const std::string& path, mode_t mode = 0755);
  // install_program - copy a built program to kProgramDirectory/name, mode 0755.
  ::testing::AssertionResult install_program(const std::string& source, const std::string& name);
  // install_program_at - copy a built program to any private path, mode 0755.
  ::testing::AssertionResult install_program_at(const std::string& source,
                                                const std::string& destination);
  // read_file - the whole content, absent when it cannot be read.
  std::optional<std::string> read_file(const std::string& path) const;
  // list_directory - entry names in byte order without "." and "..", absent on error. The
  // host directories bound back into the sandbox (and the directories leading to them) are
  // left out: they are the sandbox's own, not something a program made.
  std::optional<std::vector<std::string>> list_directory(const std::string& path) const;

  // run - run_program inside, with the syslog lines logged while it ran in the result.
  RunResult run(const std::vector<std::string>& argv, const RunOptions& options = {});
  // syslog - every line captured so far; clear_syslog forgets them.
  std::vector<SyslogLine> syslog();
  void clear_syslog() { syslog_.clear(); }

 private:
  Sandbox() = default;
  Start build(const std::vector<std::string>& keep_visible);
  bool leads_to_kept_directory(const std::string& path) const;

  UniqueFd host_mount_ns_;
  UniqueFd host_net_ns_;
  UniqueFd host_ipc_ns_;
  UniqueFd host_cwd_;
  bool entered_ = false;
  std::vector<std::string> kept_paths_;  // host directories bound back below /tmp
  SyslogSink syslog_;
  DnsResponder dns_;
  HttpServer http_;
  HttpServer http_alt_;
};

// A fixture whose tests each get a fresh Sandbox, reached through sandbox().
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { start_sandbox(); }
  void TearDown() override { sandbox_.reset(); }
  Sandbox& sandbox() { return *sandbox_; }
  // start_sandbox - (re)create the sandbox, failing or skipping the test as the header
  // comment says; when it did either, has_sandbox() is false and the test must end.
  void start_sandbox();
  bool has_sandbox() const { return sandbox_ != nullptr; }
  // end_sandbox - destroy the sandbox now, back in the host's namespaces.
  void end_sandbox() { sandbox_.reset(); }

 private:
  std::unique_ptr<Sandbox> sandbox_;
};

}  // namespace korvex::testing
