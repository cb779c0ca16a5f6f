// check_context - what the engine hands every check routine: where the data files are, the
// resolver to ask, the sink for the checks' own system-log lines and the switches that
// change a verdict. korvex_init fills it with the installed paths; tests point it at their
// own files and script the resolver.
//
// Exports: reverse_resolver, forward_outcome, forward_resolver, system_reverse_resolver,
// system_forward_resolver, LookupNotes, CheckContext.
#pragma once

#include <syslog.h>

#include <cstdint>
#include <string>

#include "support/ip_address.h"
#include "support/qv_log.h"

namespace korvex {

// One reverse query for an address of either family: 0 with the official host name, or the
// resolver's h_errno code.
using reverse_resolver = int (*)(const ip_address& address, std::string* name);

// What one forward query came to; "no such name" and "try again later" stay apart here
// even where a caller treats them alike.
enum class forward_outcome { answered, no_answer, try_again };
using forward_resolver = forward_outcome (*)(const std::string& name, int type);

// system_reverse_resolver - one gethostbyaddr query.
int system_reverse_resolver(const ip_address& address, std::string* name);

// system_forward_resolver - one res_query of the type, class IN.
forward_outcome system_forward_resolver(const std::string& name, int type);

// What the running check noted about its lookups; the engine clears it before each rule.
struct LookupNotes {
  // A lookup the verdict rests on failed for a reason that may pass: try again later.
  bool temporary_failure = false;
};

// Data files, resolver, log sink and switches of the checks. A default-made context names
// no data file, asks the system's resolver and logs to syslog.
struct CheckContext {
  std::string tarn_map_dir;
  std::string dsl_regex_filename;
  std::string reverse_dns_regex_filename;
  std::string ksf_filename;
  // While 1, the forgery rule only reports what it would refuse.
  std::int32_t ksf_report_only = 0;
  // Where a run rebuilds a pattern list's index that no longer fits; empty: never.
  std::string pattern_index_cache_dir;
  // The checks' own system-log lines; nothing when null.
  log_function system_log = ::syslog;
  reverse_resolver reverse_lookup = system_reverse_resolver;
  forward_resolver forward_lookup = system_forward_resolver;
  // While on, a sender or HELO domain whose lookup failed for a temporary reason is not
  // taken as unresolvable, and a session with such a failure is deferred, not accepted.
  bool defer_on_tempfail = false;
  // Where a run's checks note lookup trouble; null outside a run.
  LookupNotes* notes = nullptr;
};

}  // namespace korvex
