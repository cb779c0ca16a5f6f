// list_update - the safe rewrite of an administrator list: exclusive flock on the list,
// new content in "<list>.tmp", rename over the list.
//
// The lock is only worth something while the locked file is still the one at the list
// path; a writer that waited on a file since replaced by another writer's rename reopens
// and locks again. Every read of the old list and every write of the new one is checked,
// and on any failure the temporary file is removed and the list stays exactly as it was.
//
// Exports: kReasonSize, set_reason, rewrite_step, update_list_file.
#pragma once

#include <cstddef>
#include <string>

#include "lists/list_reader.h"

namespace korvex {

// Reasons are cut to fit a buffer of this size, terminator included.
inline constexpr std::size_t kReasonSize = 1024;

// set_reason - format a failure reason, cut to fit kReasonSize.
void set_reason(std::string* reason, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A rewrite step reads the locked list and builds the new content; false (with a reason)
// refuses the update.
using rewrite_step = bool (*)(LineReader& list, std::string* output, const std::string& entry,
                              std::string* reason);

// update_list_file - rewrite the list at path through step: 0 done, -1 failed with reason.
int update_list_file(const std::string& path, const std::string& entry, rewrite_step step,
                     std::string* reason);

}  // namespace korvex
