// rejection_rebuild - the persistent message directory and the rebuild of the live cache
// from it: every rule's file becomes its cached message, and a rule without a file (or
// with an empty one) loses any cached message.
//
// Exports: rejection_file_path, rejection_directory_exists, rejection_cache_rebuild,
// rejection_file_message.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace korvex {

// Longest message the rebuild takes from a file: the first line, newline included.
inline constexpr std::size_t kRejectionFileLineLimit = 511;

// rejection_file_path - "<directory>/<rule name>", the file of a rule's message.
std::string rejection_file_path(const std::string& directory, const std::string& rule_name);

// rejection_directory_exists - whether directory is an existing directory; if not, says so
// on standard error.
bool rejection_directory_exists(const std::string& directory);

// rejection_cache_rebuild - make the cache agree with the files of directory; 0, or -1
// when the directory is missing or a message file cannot be read.
int rejection_cache_rebuild(const std::string& directory);

// rejection_file_message - the message a rebuild would cache for the rule with ReasonId
// reason from its file in directory, and the file's path; nothing when no rule has that
// reason or its file is missing, unreadable or empty.
std::optional<std::string> rejection_file_message(int reason, const std::string& directory,
                                                  std::string* path);

}  // namespace korvex
