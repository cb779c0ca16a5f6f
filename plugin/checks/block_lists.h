// block_lists - the reputation block-list rule, which asks every TARN list the administrator
// enabled about the peer's address, and checkList, which matches a subject against a list of
// entries as regular expressions, exact texts or TARN list names.
//
// Exports: the checkList modes, checkList, block_lists.
#pragma once

#include <string>

#include "plugin/checks/check_context.h"
#include "plugin/load_spp_env.h"
#include "plugin/rule_table.h"
#include "support/string_list.h"

namespace korvex {

// What checkList compares its entries with the subject as.
inline constexpr int kCheckListRegex = 0;
inline constexpr int kCheckListExact = 1;
inline constexpr int kCheckListTarn = 2;

// checkList - 1 when subject matches an entry in the given mode, else 0. Matching regex
// and TARN entries are appended to hits when it is given; TARN mode consults every list,
// each a map in the context's TARN directory.
int checkList(const CheckContext& context, const string_list& entries, const std::string& subject,
              int mode, string_list* hits);

// block_lists - HIT when the peer is on an enabled TARN list; hits receives the list names.
CheckResult block_lists(const CheckContext& context, SessionState state,
                        const string_list& tarn_lists, string_list* hits);

}  // namespace korvex
