// check_types - the session record, check results and check configuration that the check
// routines work on, until the plugin core provides them.
#pragma once

#include <optional>
#include <string>

#include "support/qv_log.h"

namespace korvex {

enum CheckResult { DUNNO = 0, HIT = 1, TEMPFAIL = 2 };
enum ResolveState { RESOLVE_UNKNOWN = 0, YES = 1, NO = 2 };

struct SessionState {
  std::optional<std::string> ip;
  std::optional<std::string> remote_host;
  std::optional<std::string> helo;
  std::optional<std::string> mail_from;
  std::optional<std::string> rcpt_to;
  std::optional<std::string> auth_user;
  int mua = 0;
  int helo_resolves = 0;
  int mail_resolves = 0;
  int rdns_state = 0;
  log_function log = nullptr;
};

struct CheckConfig {
  std::string tarn_directory;
  std::string dynamic_regex_filename;
  std::string reverse_dns_regex_filename;
};

extern CheckConfig config;

bool is_full_address(const std::optional<std::string>& text);

}  // namespace korvex
