// checks_internal - what the check modules share among themselves and with their tests:
// the system-log sink, the environment copy helper, the resolver entry points (replaceable,
// so that tests can script what the resolver says) and the list walks.
//
// Exports: check_syslog, syslog_line, __getenv, reverse_resolver, __reverse_resolver,
// forward_outcome, forward_resolver, __forward_resolver, __walk_regex_list,
// __walk_pattern_index.
#pragma once

#include <netinet/in.h>
#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "lists/pattern_index.h"
#include "support/ip_address.h"
#include "support/qv_log.h"
#include "support/regex_holder.h"

namespace korvex {

// Where the checks' own system-log lines go: syslog in the plugin, a capture in tests,
// nothing when null.
extern log_function check_syslog;

// syslog_line - hand one line to check_syslog when one is installed.
void syslog_line(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// __getenv - copy the variable's value: 0 when set, 1 when not set, -1 for bad arguments
// or no memory.
int __getenv(const char* name, std::string* copy);

// One reverse query for an address of either family: 0 with the official host name, or the
// resolver's h_errno code.
using reverse_resolver = int (*)(const ip_address& address, std::string* name);
extern reverse_resolver __reverse_resolver;

// What one forward query came to; "no such name" and "try again later" stay apart here
// even where a caller treats them alike.
enum class forward_outcome { answered, no_answer, try_again };
using forward_resolver = forward_outcome (*)(const std::string& name, int type);
extern forward_resolver __forward_resolver;

// __walk_regex_list - the plain walk of checkRegexList over an open list: every line to
// compile is compiled and tried in turn.
int __walk_regex_list(std::FILE* list, const std::string& path, const std::string& subject,
                      log_function logger);

// __walk_pattern_index - checkRegexList's walk over the fresh index of the list at path,
// with the same result (in *result) and the same log lines as the plain walk. False, with
// nothing logged, when the index turns out malformed.
bool __walk_pattern_index(const pattern_index_view& index, const std::string& path,
                          const std::string& subject, log_function logger, int* result);

}  // namespace korvex
