// pattern_list_match - whether a host name matches a pattern list: the list's fitting index
// (found or rebuilt by pattern_index_finder) picks the few patterns worth compiling; without
// one every pattern line is compiled and tried in file order. Both walks give the same
// result and the same log lines.
//
// Exports: match_pattern_list, __walk_regex_list, __walk_pattern_index.
#pragma once

#include <cstdio>
#include <string>

#include "patterns/pattern_index.h"
#include "support/qv_log.h"

namespace korvex {

// match_pattern_list - 1 when a pattern of the list at path matches subject, 0 when none
// does, -1 when the list cannot be opened or a line does not compile and none matches. An
// index that no longer fits is rebuilt in index_cache_dir (never when it is empty).
int match_pattern_list(const std::string& path, const std::string& subject,
                       const std::string& index_cache_dir, log_function logger);

// __walk_regex_list - the plain walk over an open list: every line to compile is compiled
// and tried in turn.
int __walk_regex_list(std::FILE* list, const std::string& path, const std::string& subject,
                      log_function logger);

// __walk_pattern_index - the walk over the fresh index of the list at path, with the same
// result (in *result) and the same log lines as the plain walk. False, with nothing logged,
// when the index turns out malformed.
bool __walk_pattern_index(const pattern_index_view& index, const std::string& path,
                          const std::string& subject, log_function logger, int* result);

}  // namespace korvex
