// Fuzz target: the qmail-spp environment of korvex-plesk - load_spp_env, detect_mua and the
// diagnostic dump, then the reply tokens filled from those values. Input: TCPREMOTEIP,
// TCPREMOTEHOST, SMTPHELOHOST, SMTPMAILFROM, SMTPRCPTTO, SMTPAUTHUSER, RELAYCLIENT separated
// by NUL; a piece that is a single 0x01 byte leaves that variable unset.
#include <syslog.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugin/load_spp_env.h"
#include "plugin/reasons.h"
#include "support/qv_log.h"

namespace {

constexpr const char* kVariables[] = {"TCPREMOTEIP",  "TCPREMOTEHOST", "SMTPHELOHOST",
                                      "SMTPMAILFROM", "SMTPRCPTTO",    "SMTPAUTHUSER",
                                      "RELAYCLIENT"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  const std::vector<std::string> pieces = korvex_fuzz::split_at_nul(data, size);
  std::size_t i = 0;
  for (const char* name : kVariables) {
    const bool set = i < pieces.size() && pieces[i] != "\x01";
    if (set ? ::setenv(name, pieces[i].c_str(), 1) != 0 : ::unsetenv(name) != 0) std::abort();
    ++i;
  }
  korvex::SessionState state = korvex::empty_state;
  state.protocol_state = korvex::ProtocolState::RCPT;
  if (korvex::load_spp_env(&state) != 0) __builtin_trap();
  korvex::detect_mua(&state, korvex_fuzz::quiet_log);
  korvex::dump_state(korvex_fuzz::quiet_log, LOG_DEBUG, state, 0);
  korvex::dump_state(korvex_fuzz::quiet_log, LOG_DEBUG, state, 1);
  for (const std::optional<std::string>* value : {&state.ip, &state.helo, &state.mail_from}) {
    if (*value && korvex::blank_control_bytes(**value).size() != (*value)->size()) {
      __builtin_trap();
    }
  }
  (void)korvex::substitute_tokens("%IP% %RDNS% %HELO% %FROM% %TO%", state);
  korvex::release_state(&state);
  return 0;
}
