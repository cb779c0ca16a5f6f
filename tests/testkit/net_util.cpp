// net_util - eventfd wakeups, poll with a stop signal, IPv4 address helpers.
#include "tests/testkit/net_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvex::testing {

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void Wakeup::signal() {
  const std::uint64_t one = 1;
  // A full counter (EAGAIN) still leaves the descriptor readable, which is all we need.
  if (write(fd_.get(), &one, sizeof one) < 0 && errno != EAGAIN) return;
}

void Wakeup::clear() {
  std::uint64_t count = 0;
  // Nothing pending (EAGAIN) is the ordinary case.
  if (read(fd_.get(), &count, sizeof count) < 0) return;
}

WaitResult wait_readable(int fd, const Wakeup& wakeup, int timeout_ms) {
  pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
  for (;;) {
    const int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return WaitResult::failed;
    if (ready == 0) return WaitResult::timed_out;
    if (fds[0].revents != 0) return WaitResult::woken;
    return WaitResult::ready;
  }
}

bool ipv4_socket_address(const std::string& address, std::uint16_t port, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

std::uint16_t bound_port(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace korvex::testing
