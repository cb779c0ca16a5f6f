// qv_dns - resolver wrappers of the support library. See qv_dns.h.
#include "support/qv_dns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "support/qv_log.h"
#include "support/qv_rfc.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_dns";
constexpr int kReverseAttempts = 3;
// Forward answers are only checked for success; 1023 of these bytes go to the resolver.
constexpr int kAnswerBuffer = 1024;

int store_name(std::string* name, const char* found) {
  try {
    *name = found;
  } catch (const std::bad_alloc&) {
    qv_log_error("qv_lookup_reverse_dns", kModule, __LINE__, "%s", std::strerror(ENOMEM));
    return kReverseFailed;
  }
  return kReverseFound;
}

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

int qv_lookup_reverse_dns(std::string* name, const char* ip) {
  if (name == nullptr || ip == nullptr || !qv_is_ip(ip)) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return kReverseBadArgument;
  }
  QV_DEBUG(kModule, "parameter [%s]", ip);
  in_addr address{};
  if (inet_aton(ip, &address) == 0) return kReverseBadArgument;
  for (int attempt = 0; attempt < kReverseAttempts; ++attempt) {
    // A success need not reset h_errno; a stale code must not decide this attempt.
    h_errno = 0;
    const hostent* entry = gethostbyaddr(&address, sizeof address, AF_INET);
    const int code = h_errno;
    if (code == NO_RECOVERY) {
      QV_ERROR(kModule, "[%s] %s", ip, hstrerror(code));
      return kReverseFailed;
    }
    if (code == HOST_NOT_FOUND) {
      QV_DEBUG(kModule, "[%s] lookup result NXDOMAIN", ip);
      return kReverseNoName;
    }
    // An empty official name is no answer: it costs an attempt like TRY_AGAIN does.
    if (code != TRY_AGAIN && entry != nullptr && entry->h_name != nullptr &&
        *entry->h_name != '\0') {
      QV_DEBUG(kModule, "[%s] Found record %s", ip, entry->h_name);
      return store_name(name, entry->h_name);
    }
  }
  QV_DEBUG(kModule, "[%s] %s", ip, std::strerror(ECONNABORTED));
  return kReverseFailed;
}

int qv_resolv(const char* domain, int type) {
  if (!qv_valid_domain(domain)) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return kResolvInvalid;
  }
  unsigned char answer[kAnswerBuffer];
  // Only success counts; the answer itself is not looked at.
  if (res_query(domain, C_IN, type, answer, kAnswerBuffer - 1) < 0) {
    QV_DEBUG(kModule, "error on lookup [%s]", domain);
    return kResolvUnanswered;
  }
  return kResolvAnswered;
}

bool qv_has_a_or_mx(const char* domain) {
  if (!qv_valid_domain(domain)) {
    QV_DEBUG(kModule, "domain [%s] flagged as invalid.", domain != nullptr ? domain : "");
    return false;
  }
  if (qv_resolv(domain, T_A) == kResolvAnswered) {
    QV_DEBUG(kModule, "domain [%s] found A record", domain);
    return true;
  }
  QV_DEBUG(kModule, "domain [%s] no A record found. Seeking MX", domain);
  if (qv_resolv(domain, T_MX) == kResolvAnswered) {
    QV_DEBUG(kModule, "domain [%s] found MX record", domain);
    return true;
  }
  return false;
}

}  // namespace korvex
