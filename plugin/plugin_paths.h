// plugin_paths - the fixed places korvex-plesk reads from and writes to. Routines that tests
// must point elsewhere take these as parameters; main and the engine pass the constants.
//
// Exports: the control directory and flag files, the override files, the activity and
// counter locations, the core directory template and the check data-file defaults.
#pragma once

namespace korvex {

// Identity under which the plugin logs and writes its activity lines.
inline constexpr const char* kPleskIdentity = "korvex-plesk";

inline constexpr const char* kDebugFlagFile = "/etc/korvex/control/debug";
inline constexpr const char* kDumpCoreFlagFile = "/etc/korvex/control/dump_core";
// Flag under the control directory: a session whose lookups failed for a temporary reason
// is deferred (451) rather than accepted or refused on a guess.
inline constexpr const char* kDeferOnTempfailFlag = "defer_on_tempfail";

// Directory of the activity file "kxlog" and the monthly ".counter.dat.MM" files.
inline constexpr const char* kPleskLogDir = "/var/log/korvex";
inline constexpr const char* kActivityFileName = "kxlog";
inline constexpr const char* kCounterFileName = ".counter.dat";

// Per-process core directory: the five X are replaced by the process id.
inline constexpr const char* kCoreDirTemplate = "/var/cores/korvex/XXXXX";

// Data files of the checks, as korvex_init sets them in the check context; the updaters
// write them.
inline constexpr const char* kTarnMapDir = "/var/cache/tarn";
inline constexpr const char* kDynamicHostRegexFile = "/etc/korvex/dynaregex/dyna.regexes";
inline constexpr const char* kAbusedHostRegexFile = "/etc/korvex/dynaregex/spam.regexes";
inline constexpr const char* kForgeryTableFile = "/etc/korvex/control/valid_domain_ips";
// Where the plugin, as the SMTP daemon's user, keeps the pattern-list indexes it rebuilt.
inline constexpr const char* kPatternIndexCacheDir = "/var/cache/korvex";

}  // namespace korvex
