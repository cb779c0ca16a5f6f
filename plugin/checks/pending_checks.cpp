// pending_checks - interim check routines: a rule answers DUNNO (no opinion) until its
// real check routine takes its place in this folder. Keeping them here lets the engine,
// the rule table and the program run end to end meanwhile.
#include "plugin/checks/checks.h"

namespace korvex {

// The interim routine shares the by-value signature of the real checks and does not look
// at the session.
// NOLINTBEGIN(performance-unnecessary-value-param)
CheckResult known_sender_forgery(SessionState) { return DUNNO; }
// NOLINTEND(performance-unnecessary-value-param)

}  // namespace korvex
