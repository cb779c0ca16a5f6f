// tarn_map - the reputation block lists: lookups in TARN map files and the block_lists
// rule, which asks every list the administrator enabled about the peer's address.
//
// A map is read with three small positioned reads per lookup (root word, per-/8 word,
// bitmap byte); nothing is loaded or cached, so a map replaced between two lookups is
// simply read anew. Every problem with a map counts as "not listed": block-list trouble
// never refuses or defers mail.
//
// Exports: the checkList modes, lookupMap, lookupMapFile, lookupMaps, checkList,
// block_lists.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"
#include "support/string_list.h"

namespace korvex {

// What checkList compares its entries with the subject as.
inline constexpr int kCheckListRegex = 0;
inline constexpr int kCheckListExact = 1;
inline constexpr int kCheckListTarn = 2;

// lookupMap - 1 when address (network byte order) is listed in the open map, 0 when not,
// -1 for a bad descriptor, a failed read or a corrupt map.
int lookupMap(const CheckContext& context, int descriptor, std::uint32_t address);

// lookupMapFile - lookupMap on the map file at path for the address text ip.
int lookupMapFile(const CheckContext& context, const std::string& path, const std::string& ip);

// lookupMaps - 1 when ip is on at least one of the blank-separated lists in directory, 0
// when on none, -1 for a bad address; with print set, the matching names go to stdout.
int lookupMaps(const CheckContext& context, const std::string& directory, const std::string& names,
               const std::string& ip, int print);

// checkList - 1 when subject matches an entry in the given mode, else 0. Matching regex
// and TARN entries are appended to hits when it is given; TARN mode consults every list,
// each a map in the context's TARN directory.
int checkList(const CheckContext& context, const string_list& entries, const std::string& subject,
              int mode, string_list* hits);

// block_lists - HIT when the peer is on an enabled TARN list; hits receives the list names.
CheckResult block_lists(const CheckContext& context, SessionState state,
                        const string_list& tarn_lists, string_list* hits);

}  // namespace korvex
