// checks_internal - what the check modules share among themselves and with their tests:
// the line writer of the checks' system log, the note of a temporary lookup failure, the
// environment copy helper and the forward resolution of a domain.
//
// Exports: syslog_line, note_temporary_failure, __getenv, domain_resolution, resolve_domain,
// judge_resolution.
#pragma once

#include <netinet/in.h>
#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "plugin/checks/check_context.h"
#include "plugin/rule_table.h"
#include "support/ip_address.h"
#include "support/qv_log.h"
#include "support/regex_holder.h"

namespace korvex {

// syslog_line - hand one line to the context's system log when it has one.
void syslog_line(const CheckContext& context, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// note_temporary_failure - tell the engine that the running check's lookup failed for a
// temporary reason (the resolver's "try again": a server failure or a time-out).
void note_temporary_failure(const CheckContext& context);

// __getenv - copy the variable's value: 0 when set, 1 when not set, -1 for bad arguments
// or no memory.
int __getenv(const CheckContext& context, const char* name, std::string* copy);

// What the A-then-MX lookup of a domain came to.
enum class domain_resolution { resolves, unresolvable, try_again };

// resolve_domain - isUnresolvableDomain's lookup, with "try again later" (neither query
// answered, one of them for a temporary reason) kept apart from "no such name".
domain_resolution resolve_domain(const CheckContext& context, const std::string& name);

// judge_resolution - the verdict of the HELO and sender-domain rules on a lookup: HIT for a
// name that does not resolve; for one that cannot be resolved now TEMPFAIL (noted) while
// defer_on_tempfail is on, HIT otherwise.
CheckResult judge_resolution(const CheckContext& context, domain_resolution resolution);

}  // namespace korvex
