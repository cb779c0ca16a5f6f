// load_spp_env - fills, releases and shows the session record of one plugin run. The
// qmail-spp hook hands the connection's facts over in environment variables; this module
// copies them, decides whether the peer is a mail user agent and reads the two control
// flags. See load_spp_env.h.
#include "plugin/load_spp_env.h"

#include <syslog.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace korvex {

const char* const state_names[5] = {"INIT", "HELO", "MAIL", "RCPT", "DATA"};

const SessionState empty_state{};

namespace {

// A missing key or field is a programming error in this module: stop at once.
[[noreturn]] void assertion_failed(const char* routine, const char* expression) {
  (void)std::fprintf(stderr, "load_spp_env: %s(): assertion failed: %s\n", routine, expression);
  std::abort();
}

const char* state_name(ProtocolState state) {
  const auto index = static_cast<std::int32_t>(state);
  if (index < 0 || index > 4) return "(null)";
  return state_names[index];
}

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

bool is_trailing_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool equals_ignoring_case(const char* text, const char* word) {
  return strcasecmp(text, word) == 0;
}

}  // namespace

const char* resolve_state_name(ResolveState state) {
  if (state == kResolveYes) return "YES";
  if (state == kResolveNo) return "NO";
  return "UNKNOWN";
}

int load_env(const char* key, std::optional<std::string>* destination) {
  if (key == nullptr) assertion_failed("load_env", "key != NULL");
  if (destination == nullptr) assertion_failed("load_env", "destination != NULL");
  const char* value = std::getenv(key);
  if (value == nullptr) return 0;
  try {
    *destination = std::string(value);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 1;
}

int load_spp_env(SessionState* state) {
  if (state == nullptr) return -1;
  const struct {
    const char* key;
    std::optional<std::string>* field;
  } variables[] = {
      {"TCPREMOTEIP", &state->ip},          {"TCPREMOTEHOST", &state->remote_host},
      {"SMTPHELOHOST", &state->helo},       {"SMTPMAILFROM", &state->mail_from},
      {"SMTPRCPTTO", &state->rcpt_to},      {"SMTPAUTHUSER", &state->auth_user},
  };
  for (const auto& variable : variables) {
    if (load_env(variable.key, variable.field) == -1) return -1;
  }
  return 0;
}

void detect_mua(SessionState* state, log_function log) {
  if (std::getenv("RELAYCLIENT") != nullptr) {
    if (log != nullptr) log(LOG_INFO, "RELAYCLIENT set: assuming MUA->MTA connection.");
    state->mua = 1;
  } else if (state->auth_user && !state->auth_user->empty()) {
    if (log != nullptr) {
      // The client chose the name: a CR or LF in it must not split or forge a log line.
      log(LOG_INFO, "AUTH_USER[%s] set: assuming MUA->MTA connection.",
          blank_control_bytes(*state->auth_user).c_str());
    }
    state->mua = 1;
  }
}

bool read_control_flag(const char* path) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) return false;
  char line[1024] = {};
  if (std::fgets(line, sizeof line, file.get()) == nullptr) return false;
  std::size_t length = std::strlen(line);
  while (length > 0 && is_trailing_blank(line[length - 1])) line[--length] = '\0';
  return equals_ignoring_case(line, "true") || std::strcmp(line, "1") == 0;
}

void release_state(SessionState* state) {
  if (state != nullptr) *state = empty_state;
}

void dump_state(log_function log, int priority, const SessionState& state, int line_end) {
  if (log == nullptr) return;
  // Client values arrive with whatever bytes the client sent: blanked as in the other lines,
  // a CR or LF can neither split a log line nor forge one.
  const auto shown_value = [](const std::optional<std::string>& text) {
    return text ? blank_control_bytes(*text) : std::string("(null)");
  };
  const char* end = line_end == 1 ? "\n" : "";
  log(priority, "== BEGIN STATE STRUCTURE ==%s", end);
  log(priority, "IP[%s] (country: %s)%s", shown_value(state.ip).c_str(),
      shown_value(state.ip_country).c_str(), end);
  log(priority, "REVERSE_DNS[%s]%s", shown_value(state.remote_host).c_str(), end);
  log(priority, "HELO[%s] (country: %s) (resolves: %s)%s", shown_value(state.helo).c_str(),
      shown_value(state.helo_country).c_str(), resolve_state_name(state.helo_resolves), end);
  log(priority, "MAIL[%s] (country: %s) (resolves: %s)%s", shown_value(state.mail_from).c_str(),
      shown_value(state.mail_country).c_str(), resolve_state_name(state.mail_resolves), end);
  log(priority, "RCPT[%s]%s", shown_value(state.rcpt_to).c_str(), end);
  log(priority, "AUTH[%s]%s", shown_value(state.auth_user).c_str(), end);
  log(priority, "RFC[%d]%s", state.rfc, end);
  log(priority, "MUA->MTA[%d]%s", state.mua, end);
  log(priority, "STATE[%s]%s", state_name(state.protocol_state), end);
  log(LOG_DEBUG, "=== END STATE STRUCTURE ===%s", end);
}

}  // namespace korvex
