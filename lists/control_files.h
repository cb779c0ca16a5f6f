// control_files - the control files rules.enabled, rules.disabled, rules.report and
// tarn.enabled: one rule or block-list name per line, read whole into a sorted string list,
// written whole.
//
// Writers put the new content in a temporary file beside the control file and rename it
// over, so a filter run reading at the same time sees the old or the new content, never an
// empty or half-written file. Readers see an absent or unreadable file as empty.
//
// Exports: read_list_file, read_rules_enabled, read_rules_disabled, read_rules_report,
// write_rules_enabled, write_rules_disabled, clear_rules_enabled, clear_rules_disabled,
// read_tarn_list, populate_list, clear_tarn_list.
#pragma once

#include <optional>
#include <string>

#include "support/qv_log.h"
#include "support/string_list.h"

namespace korvex {

// read_list_file - insert each non-empty line of the file at path into destination in
// ascending byte order (duplicates kept): 0, or -1 when no destination is given.
int read_list_file(const std::string& path, string_list* destination);

// read_rules_enabled - the sorted non-empty lines of rules.enabled; empty when absent.
string_list read_rules_enabled(const std::string& base_dir);

// read_rules_disabled - the sorted non-empty lines of rules.disabled; empty when absent.
string_list read_rules_disabled(const std::string& base_dir);

// read_rules_report - the sorted non-empty lines of rules.report; empty when absent.
string_list read_rules_report(const std::string& base_dir);

// write_rules_enabled - replace rules.enabled by the rules, one per line: 0, or 1 when it
// cannot be written.
int write_rules_enabled(const string_list& rules, const std::string& base_dir);

// write_rules_disabled - replace rules.disabled by the rules, one per line: 0, or 1.
int write_rules_disabled(const string_list& rules, const std::string& base_dir);

// clear_rules_enabled - remove rules.enabled: 0 (a missing file is no error).
int clear_rules_enabled(const std::string& base_dir);

// clear_rules_disabled - remove rules.disabled: 0 (a missing file is no error).
int clear_rules_disabled(const std::string& base_dir);

// read_tarn_list - the sorted non-empty lines of tarn.enabled for id 0; none for other ids.
std::optional<string_list> read_tarn_list(int list_id, const std::string& base_dir);

// populate_list - replace tarn.enabled by the names: 0 written, 1 when it cannot be
// written, -1 for an id other than 0.
int populate_list(log_function log, int list_id, const string_list& names,
                  const std::string& base_dir);

// clear_tarn_list - remove tarn.enabled: 0, or -1 for an id other than 0.
int clear_tarn_list(log_function log, int list_id, const std::string& base_dir);

}  // namespace korvex
