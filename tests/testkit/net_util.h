// net_util - small socket helpers shared by the loopback servers of the test harness.
//
// Exports: Wakeup (an eventfd a stopping owner signals), WaitResult, wait_readable,
// ipv4_socket_address, bound_port.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "tests/testkit/unique_fd.h"

namespace korvex::testing {

// A descriptor that becomes readable once signal() was called; wakes a server thread
// blocked in poll so that it can see it is asked to stop.
class Wakeup {
 public:
  Wakeup();
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // signal - make fd() readable; repeated calls are harmless.
  void signal();
  // clear - consume a pending signal so the descriptor can be reused.
  void clear();

 private:
  UniqueFd fd_;
};

enum class WaitResult { ready, woken, timed_out, failed };

// wait_readable - wait up to timeout_ms (negative: for ever) until fd is readable or the
// wakeup fires; the wakeup wins when both are ready.
WaitResult wait_readable(int fd, const Wakeup& wakeup, int timeout_ms);

// ipv4_socket_address - fill *out from dotted-quad text and a port; false for bad text.
bool ipv4_socket_address(const std::string& address, std::uint16_t port, sockaddr_in* out);

// bound_port - the local port of a bound socket, 0 when it cannot be read.
std::uint16_t bound_port(int fd);

}  // namespace korvex::testing
