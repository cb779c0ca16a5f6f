// address - envelope address rules.
//
// Exports: require_full_addr, block_ip_in_addr, valid_from_domain.

#include "plugin/checks/address.h"

#include <syslog.h>

#include <optional>
#include <string>

#include "plugin/checks/checks_internal.h"
#include "plugin/checks/helo.h"
#include "plugin/checks/reverse_dns.h"

namespace korvex {
namespace {

// The text after the last at sign, or nothing when there is no at sign.
std::optional<std::string> domain_of(const std::string& address) {
  const std::size_t at = address.rfind('@');
  if (at == std::string::npos) return std::nullopt;
  return address.substr(at + 1);
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult require_full_addr(const CheckContext& /*context*/, SessionState state) {
  if (!state.rcpt_to) return HIT;
  return is_full_address(state.rcpt_to->c_str()) ? DUNNO : HIT;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult block_ip_in_addr(const CheckContext& /*context*/, SessionState state) {
  if (!state.mail_from || !state.rcpt_to) return DUNNO;
  const auto sender_domain = domain_of(*state.mail_from);
  if (!sender_domain) return DUNNO;
  if (isDottedQuad(sender_domain) == 1) return HIT;
  const auto recipient_domain = domain_of(*state.rcpt_to);
  if (!recipient_domain) return DUNNO;
  return isDottedQuad(recipient_domain) == 1 ? HIT : DUNNO;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult valid_from_domain(const CheckContext& context, SessionState state) {
  if (!state.mail_from) return TEMPFAIL;
  if (state.mail_resolves != 0) return state.mail_resolves == 2 ? HIT : DUNNO;
  const auto domain = domain_of(*state.mail_from);
  if (!domain) return HIT;
  if (isDottedQuad(domain) == 1) {
    if (state.log != nullptr) state.log(LOG_INFO, "%s", "Did not attempt to resolve IP address");
    return DUNNO;
  }
  if (domain->empty()) return HIT;
  return judge_resolution(context, resolve_domain(context, *domain));
}

}  // namespace korvex
