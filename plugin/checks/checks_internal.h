// checks_internal - what the check modules share among themselves and with their tests:
// the system-log sink, the environment copy helper, the resolver entry points (replaceable,
// so that tests can script what the resolver says), and a holder for compiled expressions.
//
// Exports: check_syslog, syslog_line, __getenv, reverse_resolver, __reverse_resolver,
// forward_outcome, forward_resolver, __forward_resolver, regex_holder, __walk_regex_list,
// __walk_pattern_index.
#pragma once

#include <netinet/in.h>
#include <regex.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "patterns/pattern_index.h"
#include "support/ip_address.h"
#include "support/qv_log.h"

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

// A compiled POSIX expression, freed when the holder goes away. compile() returns
// regcomp's code; error() renders a failed compile into a buffer of the given size.
class regex_holder {
 public:
  regex_holder() = default;
  ~regex_holder() {
    if (compiled_) regfree(&regex_);
  }
  regex_holder(const regex_holder&) = delete;
  regex_holder& operator=(const regex_holder&) = delete;

  int compile(const char* pattern, int flags) {
    const int code = regcomp(&regex_, pattern, flags);
    compiled_ = code == 0;
    return code;
  }
  bool matches(const char* subject) const {
    return compiled_ && regexec(&regex_, subject, 0, nullptr, 0) == 0;
  }
  std::string error(int code, std::size_t size) const {
    std::string text(size, '\0');
    const std::size_t needed = regerror(code, &regex_, text.data(), size);
    text.resize(std::min(needed, size) - 1);
    return text;
  }

 private:
  regex_t regex_{};
  bool compiled_ = false;
};

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
