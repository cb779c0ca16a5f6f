// reverse_dns - reverse-DNS rules, the shared reverse lookup, the pattern-list rules and the
// dynamic-host test.
//
// Exports: default_dslregex, isDottedQuad, lookupReverseDNS, lookupReverseDns,
// checkRegexList, checkDSLRegexList, isDSL, check_ip_reverse_dns,
// check_dynamic_reverse_dns, check_reverse_dns_list, system_reverse_resolver; internally
// syslog_line, __getenv, note_temporary_failure.
//
// checkRegexList matches through patterns/pattern_list_match, which uses the list's index
// where one fits; a rebuilt index goes to the context's cache directory.

#include "plugin/checks/reverse_dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "patterns/pattern_list_match.h"
#include "plugin/checks/checks_internal.h"
#include "plugin/load_spp_env.h"
#include "support/ip_address.h"
#include "support/log_text.h"

namespace korvex {

const char default_dslregex[] = "^[^.0-9]*[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}-[0-9]{1,3}[^0-9]*.";

namespace {

constexpr int kReverseRetries = 3;

// The address a reverse query asks about: what inet_aton makes of an IPv4 text (its
// shorthand forms included), or an IPv6 address, looked up in ip6.arpa unless it carries
// an IPv4 address.
std::optional<ip_address> reverse_query_address(const std::string& ip) {
  in_addr ipv4{};
  if (::inet_aton(ip.c_str(), &ipv4) != 0) {
    ip_address address;
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), &ipv4, sizeof ipv4);
    return address;
  }
  return parse_ipv6_address(ip);
}

// Where a rule's host name came from when the session did not carry one.
struct peer_name {
  unsigned code;  // a reverse lookup code
  std::string name;
};

// The peer's name for a rule; a lookup that may succeed later is noted for the engine.
peer_name look_up_peer(const CheckContext& context, const SessionState& state) {
  peer_name peer{kReverseLookupFailed, {}};
  bool try_again = false;
  peer.code = lookupReverseDns(context, &peer.name, state.ip, &try_again);
  if (try_again) note_temporary_failure(context);
  return peer;
}

}  // namespace

int system_reverse_resolver(const ip_address& address, std::string* name) {
  const socklen_t length = address.family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
  const hostent* host = ::gethostbyaddr(address.bytes.data(), length, address.family);
  if (host == nullptr) return h_errno;
  *name = host->h_name != nullptr ? host->h_name : "";
  return 0;
}

void syslog_line(const CheckContext& context, int priority, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vlog_line(context.system_log, priority, format, arguments);
  va_end(arguments);
}

int __getenv(const CheckContext& context, const char* name, std::string* copy) {
  if (name == nullptr || copy == nullptr) {
    syslog_line(context, LOG_DEBUG, "__getenv(): attempt to call with invalid arguments");
    return -1;
  }
  const char* value = std::getenv(name);
  if (value == nullptr) return 1;
  try {
    *copy = value;
  } catch (const std::bad_alloc&) {
    syslog_line(context, LOG_ERR, "__getenv(): out of memory error");
    return -1;
  }
  return 0;
}

int isDottedQuad(const std::optional<std::string>& text) {
  if (!text) return -1;
  in_addr address{};
  return std::count(text->begin(), text->end(), '.') == 3 &&
                 ::inet_aton(text->c_str(), &address) != 0
             ? 1
             : 0;
}

void note_temporary_failure(const CheckContext& context) {
  if (context.notes != nullptr) context.notes->temporary_failure = true;
}

unsigned lookupReverseDNS(const CheckContext& context, std::string* name,
                          const std::optional<std::string>& ip, bool* try_again) {
  if (name == nullptr || !ip) {
    syslog_line(context, LOG_DEBUG, "__runRDNSQuery(): attempt to run with invalid arguments");
    return kReverseLookupFailed;
  }
  const std::optional<ip_address> parsed = reverse_query_address(*ip);
  if (!parsed) {
    syslog_line(context, LOG_WARNING, "lookupReverseDNS(): invalid IP address");
    return kReverseBadArgument;
  }
  const ip_address& address = *parsed;
  std::string found;
  int error = context.reverse_lookup(address, &found);
  for (int retry = 0; error == TRY_AGAIN && retry < kReverseRetries; ++retry) {
    error = context.reverse_lookup(address, &found);
  }
  switch (error) {
    case 0:
      *name = found;
      // A PTR record holds whatever bytes its zone's owner chose.
      syslog_line(context, LOG_DEBUG, "lookupReverseDNS(): resolved to [%s]",
                  blank_control_bytes(*name).c_str());
      return kReverseNameFound;
    case TRY_AGAIN:
      syslog_line(context, LOG_ERR, "gethostbyaddr() retried %d times", kReverseRetries);
      if (try_again != nullptr) *try_again = true;
      return kReverseLookupFailed;
    case HOST_NOT_FOUND:
      syslog_line(context, LOG_DEBUG, "Hostname for IP %s could not be found",
                  blank_control_bytes(*ip).c_str());
      name->clear();
      return kReverseNoName;
    case NO_RECOVERY:
      syslog_line(context, LOG_ERR, "A non-recoverable DNS server error occured");
      return kReverseLookupFailed;
    default:
      syslog_line(context, LOG_ERR, "Unable to lookup reverse-DNS");
      return kReverseLookupFailed;
  }
}

unsigned lookupReverseDns(const CheckContext& context, std::string* name,
                          const std::optional<std::string>& ip, bool* try_again) {
  if (name == nullptr || !ip) {
    syslog_line(context, LOG_DEBUG, "lookupReverseDns(): NULL arguments detected");
    return kReverseBadArgument;
  }
  std::string from_environment;
  if (__getenv(context, "TCPREMOTEHOST", &from_environment) == 0) {
    *name = from_environment;
    return name->empty() ? kReverseNoName : kReverseNameFound;
  }
  if (isDottedQuad(ip) == 0 && !parse_ipv6_address(*ip)) {
    syslog_line(context, LOG_DEBUG, "lookupReverseDNS(): Invalid IP address detected");
    return kReverseBadArgument;
  }
  std::string found;
  const unsigned code = lookupReverseDNS(context, &found, ip, try_again);
  if (code == kReverseNameFound || code == kReverseNoName) *name = found;
  return code;
}

int checkRegexList(const CheckContext& context, const std::string& path, const std::string& subject,
                   log_function logger) {
  return match_pattern_list(path, subject, context.pattern_index_cache_dir, logger);
}

int checkDSLRegexList(const CheckContext& context, const std::string& subject) {
  if (context.dsl_regex_filename.empty()) {
    syslog_line(context, LOG_INFO, "Warning: checkDSLRegexList(): filename not set");
    return -1;
  }
  return checkRegexList(context, context.dsl_regex_filename, subject, context.system_log);
}

int isDSL(const CheckContext& context, const std::optional<std::string>& host) {
  if (!host) return 0;
  const int listed = checkDSLRegexList(context, *host);
  if (listed == 0 || listed == 1) return listed;
  regex_holder fallback;
  const int code = fallback.compile(default_dslregex, kPatternFlags);
  if (code != 0) {
    syslog_line(context, LOG_INFO, "Warning: isDSL(): regcomp(): %s\n",
                fallback.error(code, kPatternErrorSize).c_str());
    return 0;
  }
  return fallback.matches(host->c_str()) ? 1 : 0;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult check_ip_reverse_dns(const CheckContext& context, SessionState state) {
  if (!state.ip) return TEMPFAIL;
  if (state.remote_host || state.rdns_state != 0) return state.rdns_state == 2 ? HIT : DUNNO;
  switch (look_up_peer(context, state).code) {
    case kReverseNameFound:
      return DUNNO;
    case kReverseNoName:
      return HIT;
    default:
      return TEMPFAIL;
  }
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult check_dynamic_reverse_dns(const CheckContext& context, SessionState state) {
  if (!state.ip) return TEMPFAIL;
  if (state.rdns_state == 2) return HIT;
  if (state.remote_host) return isDSL(context, state.remote_host) == 1 ? HIT : DUNNO;
  if (state.rdns_state != 0) return DUNNO;
  const peer_name peer = look_up_peer(context, state);
  switch (peer.code) {
    case kReverseNameFound:
      return isDSL(context, peer.name) == 1 ? HIT : DUNNO;
    case kReverseNoName:
      return HIT;
    default:
      return TEMPFAIL;
  }
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rule table passes the session by value
CheckResult check_reverse_dns_list(const CheckContext& context, SessionState state) {
  if (!state.ip) return TEMPFAIL;
  if (state.rdns_state == 2) return DUNNO;
  std::string name;
  if (state.remote_host) {
    name = *state.remote_host;
  } else {
    if (state.rdns_state != 0) return DUNNO;
    const peer_name peer = look_up_peer(context, state);
    if (peer.code == kReverseNoName) return DUNNO;
    if (peer.code != kReverseNameFound) return TEMPFAIL;
    name = peer.name;
  }
  if (context.reverse_dns_regex_filename.empty()) {
    if (state.log != nullptr) {
      state.log(LOG_INFO,
                "check_reverse_dns_list(): reverse_dns_regex_filename not set, ignoring.");
    }
    return DUNNO;
  }
  switch (checkRegexList(context, context.reverse_dns_regex_filename, name, context.system_log)) {
    case 1:
      return HIT;
    case -1:
      return TEMPFAIL;
    default:
      return DUNNO;
  }
}

}  // namespace korvex
