// rejection_cache - the live cache of custom rejection messages in SysV shared memory:
// one segment per rule, keyed by ftok(key file, ReasonId), holding a 32-bit
// little-endian length word followed by the message bytes. Segments are replaced, never
// edited, so a reader always holds one writer's whole segment. The plugin only fetches;
// korvex-rejmsg stores.
//
// Exports: rejection_cache_lookup, rejection_cache_store, rejection_cache_fetch, and the
// segment layout constants.
#pragma once

#include <syslog.h>

#include <cstddef>
#include <optional>
#include <string>

#include "rejmsg/rejmsg_paths.h"
#include "support/qv_log.h"

namespace korvex {

// Bytes of the length word that opens every segment.
inline constexpr std::size_t kRejectionLengthBytes = 4;

// Segments are readable by every user (the plugin runs as the mail user) but writable only
// by the one that stored them.
inline constexpr int kRejectionSegmentMode = 0644;

// The three operations report at debug priority through log, normally syslog; a null log
// keeps them silent. key_file is the file the keys are made from.

// rejection_cache_lookup - identifier of the segment holding the message of ReasonId id,
// or -1 when there is none or it does not hold a sound message. Never creates a segment.
int rejection_cache_lookup(int id, const char* key_file = kRejectionKeyFile,
                           log_function log = ::syslog);

// rejection_cache_store - replace the message of ReasonId id: the old segment is removed
// and, for a present non-empty message, a new one made. Clearing counts as success.
bool rejection_cache_store(int id, const std::optional<std::string>& message,
                           const char* key_file = kRejectionKeyFile, log_function log = ::syslog);

// rejection_cache_fetch - copy of the cached message of ReasonId id, or nothing when the
// rule has none or the cache cannot be read.
std::optional<std::string> rejection_cache_fetch(int id, const char* key_file = kRejectionKeyFile,
                                                 log_function log = ::syslog);

}  // namespace korvex
