// qv_dns - resolver wrappers of the support library. See qv_dns.h.
#include "support/qv_dns.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "support/qv_log.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_dns";

}  // namespace

std::uint32_t qv_inet_addr(const char* text) {
  in_addr address{};
  // The all-ones address doubles as the classic inet_addr() failure value, so it is
  // refused rather than handed to callers who could not tell it from an error.
  if (text == nullptr || inet_aton(text, &address) == 0 || address.s_addr == INADDR_NONE) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  QV_DEBUG(kModule, "[%s] converted to %lu", text, static_cast<unsigned long>(address.s_addr));
  return address.s_addr;
}

}  // namespace korvex
