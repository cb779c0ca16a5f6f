// helo - HELO rules and the forward-resolution test.
//
// Exports: isUnresolvableDomain, require_helo, valid_helo_domain, resolve_helo_domain,
// system_forward_resolver.

#include "plugin/checks/helo.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <strings.h>
#include <syslog.h>

#include <string_view>

#include "plugin/checks/checks_internal.h"
#include "plugin/checks/reverse_dns.h"
#include "plugin/load_spp_env.h"
#include "support/ip_address.h"

namespace korvex {
namespace {

constexpr std::size_t kAnswerSize = 1024;
// "[" + the shortest dotted quad that can hide inside + "]" is longer than this.
constexpr std::size_t kShortestBracketedQuad = 8;

void rule_line(const SessionState& state, int priority, const char* text) {
  if (state.log != nullptr) state.log(priority, "%s", text);
}

bool is_helo_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '[' || c == ']';
}

// An IPv6 address literal, "[IPv6:2001:db8::1]", whose tag may be written in any case.
bool is_ipv6_literal(const std::string& helo) {
  constexpr std::string_view kTag = "ipv6:";
  if (helo.size() < kTag.size() + 2 || helo.front() != '[' || helo.back() != ']') return false;
  if (strncasecmp(helo.c_str() + 1, kTag.data(), kTag.size()) != 0) return false;
  return parse_ipv6_address(
             std::string_view(helo).substr(1 + kTag.size(), helo.size() - 2 - kTag.size()))
      .has_value();
}

// The verdict on the HELO's characters and dots, or nothing when they are fine.
std::optional<CheckResult> judge_helo_characters(const SessionState& state,
                                                 const std::string& helo) {
  bool has_dot = false;
  char previous = '\0';
  for (const char c : helo) {
    if (c == '.') {
      if (previous == '.') {
        rule_line(state, LOG_DEBUG, "HELO contains two consecutive dots");
        return HIT;
      }
      has_dot = true;
    } else if (!is_helo_character(c)) {
      rule_line(state, LOG_DEBUG, "HELO contains invalid characters");
      return HIT;
    }
    previous = c;
  }
  if (!has_dot) {
    rule_line(state, LOG_DEBUG, "No dots in HELO");
    return HIT;
  }
  return std::nullopt;
}

}  // namespace

forward_outcome system_forward_resolver(const std::string& name, int type) {
  unsigned char answer[kAnswerSize];
  if (::res_query(name.c_str(), C_IN, type, answer, sizeof answer) > 0) {
    return forward_outcome::answered;
  }
  return h_errno == TRY_AGAIN ? forward_outcome::try_again : forward_outcome::no_answer;
}

domain_resolution resolve_domain(const CheckContext& context, const std::string& name) {
  if (isDottedQuad(name) != 0) {
    syslog_line(context, LOG_INFO, "Did not attempt to resolve IP address");
    return domain_resolution::resolves;
  }
  // The name is the client's HELO or sender domain: a CR or LF must not split the line.
  syslog_line(context, LOG_INFO, "Looking up domain %s (this may take a while)",
              blank_control_bytes(name).c_str());
  const forward_outcome a = context.forward_lookup(name, T_A);
  if (a == forward_outcome::answered) return domain_resolution::resolves;
  const forward_outcome mx = context.forward_lookup(name, T_MX);
  if (mx == forward_outcome::answered) return domain_resolution::resolves;
  return a == forward_outcome::try_again || mx == forward_outcome::try_again
             ? domain_resolution::try_again
             : domain_resolution::unresolvable;
}

int isUnresolvableDomain(const CheckContext& context, const std::string& name) {
  // A resolver that cannot answer now is not told apart from a name that does not exist:
  // both leave the name unresolvable.
  return resolve_domain(context, name) == domain_resolution::resolves ? 0 : 1;
}

CheckResult judge_resolution(const CheckContext& context, domain_resolution resolution) {
  if (resolution == domain_resolution::resolves) return DUNNO;
  // Unless the administrator asked for deferral, a name that cannot be resolved now is
  // refused like one that does not exist.
  if (resolution == domain_resolution::try_again && context.defer_on_tempfail) {
    note_temporary_failure(context);
    return TEMPFAIL;
  }
  return HIT;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult require_helo(const CheckContext& /*context*/, SessionState state) {
  if (state.helo) return DUNNO;
  rule_line(state, LOG_DEBUG, "require_helo: HELO is null");
  return HIT;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult valid_helo_domain(const CheckContext& /*context*/, SessionState state) {
  if (!state.helo) return HIT;
  const std::string& helo = *state.helo;
  if (helo.empty()) {
    rule_line(state, LOG_DEBUG, "HELO is empty");
    return HIT;
  }
  if (helo == "localhost") {
    rule_line(state, LOG_DEBUG, "HELO is \"localhost\"");
    return HIT;
  }
  if (helo == "localhost.localdomain") {
    rule_line(state, LOG_DEBUG, "HELO is \"localhost.localdomain\"");
    return HIT;
  }
  // An IPv6 literal names an address, not a host, as a bracketed dotted quad does.
  if (is_ipv6_literal(helo)) return HIT;
  if (const auto verdict = judge_helo_characters(state, helo)) return *verdict;
  if (helo.front() >= '0' && helo.front() <= '9' && isDottedQuad(helo) == 1) {
    rule_line(state, LOG_DEBUG, "HELO contains IP Address");
    return HIT;
  }
  if (helo.front() == '[' && helo.size() > kShortestBracketedQuad) {
    if (helo.back() != ']') return DUNNO;
    if (isDottedQuad(helo.substr(1, helo.size() - 2)) == 1) return HIT;
  }
  if (helo.front() == '.') {
    rule_line(state, LOG_DEBUG, "HELO starts with dot");
    return HIT;
  }
  return DUNNO;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult resolve_helo_domain(const CheckContext& context, SessionState state) {
  if (!state.helo) return TEMPFAIL;
  if (state.helo->empty()) return DUNNO;
  if (state.helo_resolves != 0) return state.helo_resolves == 2 ? HIT : DUNNO;
  if (isDottedQuad(state.helo) == 1) {
    rule_line(state, LOG_INFO, "Did not attempt to resolve IP address");
    return DUNNO;
  }
  return judge_resolution(context, resolve_domain(context, *state.helo));
}

}  // namespace korvex
