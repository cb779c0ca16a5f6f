// dns_sandbox - put the calling process (a forked test child) into private network and
// mount namespaces: loopback up, and /etc/resolv.conf replaced, for this process only, by
// one that names 127.0.0.1 as the only server and asks once per query, so that a
// DnsResponder on 127.0.0.1:53 sees exactly the queries a routine makes. Needs root.
#pragma once

#include <net/if.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace korvex::testing {

inline constexpr const char* kSandboxResolvConf =
    "nameserver 127.0.0.1\n"
    "options attempts:1 timeout:2\n";

// bring_loopback_up - set IFF_UP on "lo"; an error text, or "" when done.
inline std::string bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string error;
  if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
    error = std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
  } else {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) {
      error = std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    }
  }
  close(fd);
  return error;
}

// enter_dns_sandbox - as described above; resolv_conf is a scratch file to bind over the
// real one. An error text, or "" when the process is inside.
inline std::string enter_dns_sandbox(const std::string& resolv_conf) {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) == -1) {
    return std::string("unshare: ") + std::strerror(errno);
  }
  // Nothing mounted here may propagate back to the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1) {
    return std::string("make / private: ") + std::strerror(errno);
  }
  if (std::string error = bring_loopback_up(); !error.empty()) return error;
  {
    std::ofstream out(resolv_conf, std::ios::trunc);
    out << kSandboxResolvConf;
    if (!out) return "cannot write " + resolv_conf;
  }
  if (mount(resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == -1) {
    return std::string("bind resolv.conf: ") + std::strerror(errno);
  }
  if (res_init() != 0) return "res_init failed";
  return "";
}

}  // namespace korvex::testing
