// tarn_map - lookups in the reputation block lists' TARN map files.
//
// A map is read with three small positioned reads per lookup (root word, per-/8 word,
// bitmap byte); nothing is loaded or cached, so a map replaced between two lookups is
// simply read anew. Every problem with a map counts as "not listed": block-list trouble
// never refuses or defers mail. What a lookup has to say goes to the log function given,
// nowhere when it is null.
//
// Exports: lookupMap, lookupMapFile, lookupMaps.
#pragma once

#include <cstdint>
#include <string>

#include "support/qv_log.h"

namespace korvex {

// lookupMap - 1 when address (network byte order) is listed in the open map, 0 when not,
// -1 for a bad descriptor, a failed read or a corrupt map.
int lookupMap(log_function log, int descriptor, std::uint32_t address);

// lookupMapFile - lookupMap on the map file at path for the address text ip.
int lookupMapFile(log_function log, const std::string& path, const std::string& ip);

// lookupMaps - 1 when ip is on at least one of the blank-separated lists in directory, 0
// when on none, -1 for a bad address; with print set, the matching names go to stdout.
int lookupMaps(log_function log, const std::string& directory, const std::string& names,
               const std::string& ip, int print);

}  // namespace korvex
