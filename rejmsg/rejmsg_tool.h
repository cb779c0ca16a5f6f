// rejmsg_tool - korvex-rejmsg, the administrator's tool for custom rejection messages:
// sets (ADD) or removes (REMOVE) the message of one rule, writing the rule's file in the
// persistent directory first and the live cache after it, or rebuilds (INIT) the whole
// cache from the directory.
//
// Exports: RejmsgOperation, RejmsgOptions, the result codes, rejmsg_usage,
// rejmsg_parse_options, rejmsg_validate, rejmsg_add, rejmsg_remove, rejmsg_run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace korvex {

enum class RejmsgOperation : int { NONE = 0, ADD = 1, REMOVE = 2, INIT = 3 };

// The parsed command line.
struct RejmsgOptions {
  std::optional<std::string> rule_name;  // -n
  std::uint8_t reason = 0;               // ReasonId of rule_name; 0 when unknown
  RejmsgOperation operation = RejmsgOperation::NONE;
  std::optional<std::string> message;  // -m; an empty message differs from none
};

// Results of the operations; the process exits with them (-1 as 255, -3 as 253).
inline constexpr int kRejmsgOk = 0;
inline constexpr int kRejmsgUsage = 1;
inline constexpr int kRejmsgFailed = -1;
inline constexpr int kRejmsgCacheFailed = -3;

// rejmsg_usage - print the usage text for the invocation name program on stream (standard
// output, also after a command-line error).
void rejmsg_usage(std::FILE* stream, const char* program);

// rejmsg_parse_options - read the command line into options; false when -n, -m or an
// operation is given twice.
bool rejmsg_parse_options(int argc, char* argv[], RejmsgOptions* options);

// rejmsg_validate - whether the options name a runnable operation; if not, prints why on
// standard error.
bool rejmsg_validate(const RejmsgOptions& options);

// rejmsg_add - write the rule's message file under a write lock, then cache the message.
int rejmsg_add(const RejmsgOptions& options, const std::string& directory);

// rejmsg_remove - delete the rule's message file and its cached message.
int rejmsg_remove(const RejmsgOptions& options, const std::string& directory);

// rejmsg_run - the whole program over the persistent directory; returns the exit status.
int rejmsg_run(int argc, char* argv[], const std::string& directory);

}  // namespace korvex
