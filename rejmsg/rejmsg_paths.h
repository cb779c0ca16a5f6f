// rejmsg_paths - the fixed places of the custom rejection messages: the persistent
// directory that holds one message file per rule, and the key file from which the
// shared-memory keys of the cache are made.
//
// Exports: kRejectionDirectory, kRejectionKeyFile.
#pragma once

namespace korvex {

// One file per rule, named by the rule; the authoritative copy of each message.
inline constexpr const char* kRejectionDirectory = "/etc/korvex/rejections";

// Every cache key is ftok(kRejectionKeyFile, ReasonId); the file must exist on the host.
inline constexpr const char* kRejectionKeyFile = "/bin/bash";

}  // namespace korvex
