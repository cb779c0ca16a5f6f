// Gives the plugin tests a private System V IPC namespace when they run as root, so that
// the rejection-message lookups of the reply builder never see the host's segments.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

namespace {

class PrivateIpcEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (geteuid() == 0) {
      ASSERT_EQ(unshare(CLONE_NEWIPC), 0);
    }
  }
};

const auto* const private_ipc =
    ::testing::AddGlobalTestEnvironment(new PrivateIpcEnvironment);

}  // namespace
