// load_spp_env - the per-run session record of korvex-plesk and everything that fills or
// shows it: the qmail-spp environment, the MUA->MTA guess, the control flags and the
// diagnostic dump.
//
// Exports: ProtocolState, state_names, ResolveState, resolve_state_name, SessionState,
// empty_state, load_env, load_spp_env, detect_mua, read_control_flag, release_state,
// dump_state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/log_text.h"
#include "support/qv_log.h"

namespace korvex {

// SMTP stage of a run; korvex-plesk always runs at RCPT.
enum class ProtocolState : std::int32_t { INIT = 0, HELO = 1, MAIL = 2, RCPT = 3, DATA = 4 };

// Names of the protocol states, indexed by their value.
extern const char* const state_names[5];

// Known answer whether a name resolves; any value but these two is "not known".
using ResolveState = std::int32_t;
inline constexpr ResolveState kResolveYes = 1;
inline constexpr ResolveState kResolveNo = 2;

// resolve_state_name - "YES", "NO" or "UNKNOWN" for any other value.
const char* resolve_state_name(ResolveState state);

// The facts of one SMTP command. An absent text (variable not set) differs from an empty
// one: an empty mail_from is a bounce.
struct SessionState {
  std::optional<std::string> ip;
  std::optional<std::string> remote_host;
  std::optional<std::string> helo;
  std::optional<std::string> mail_from;
  std::optional<std::string> rcpt_to;
  std::optional<std::string> auth_user;
  std::optional<std::string> ip_country;
  std::optional<std::string> helo_country;
  std::optional<std::string> mail_country;
  std::int32_t rfc = 0;
  std::int32_t mua = 0;
  ProtocolState protocol_state = ProtocolState::INIT;
  ResolveState helo_resolves = 0;
  ResolveState mail_resolves = 0;
  std::int32_t rdns_state = 0;
  log_function log = nullptr;
};

// The blank record: every text absent, every number zero, no log sink.
extern const SessionState empty_state;

// load_env - copy one environment variable into a field: 1 copied, 0 not set (field left
// alone), -1 out of memory. A missing key or field stops the program.
int load_env(const char* key, std::optional<std::string>* destination);

// load_spp_env - fill the six qmail-spp fields; 0, or -1 for a missing record or no memory.
int load_spp_env(SessionState* state);

// detect_mua - mark the run MUA->MTA when RELAYCLIENT is set or the sender authenticated.
void detect_mua(SessionState* state, log_function log);

// read_control_flag - true when the file's first line says "true" (any case) or "1".
bool read_control_flag(const char* path);

// release_state - forget every field and return the record to empty_state.
void release_state(SessionState* state);

// dump_state - log the record line by line; line_end 1 ends each line with a line feed.
void dump_state(log_function log, int priority, const SessionState& state, int line_end);

}  // namespace korvex
