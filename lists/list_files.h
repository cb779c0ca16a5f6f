// list_files - the five administrator lists: matching a session against them, listing
// them, adding and deleting entries, and clearing them.
//
// Lists 1 (from_whitelist), 3 (exempt_users) and 5 (blocked_from) hold address entries,
// lists 2 (exempt_ips) and 4 (blocked_ips) IP entries; see list_match.h for the rules. The
// filter plugin only matches; korvex-listmgr adds, deletes and lists. Warnings and failures
// go through the caller's syslog-shaped log function, which may be null.
//
// Exports: session_in_list, iterate_exemption_list, add_entry, del_entry,
// clear_exemption_list.
#pragma once

#include <optional>
#include <string>

#include "lists/list_reader.h"
#include "support/qv_log.h"

namespace korvex {

// session_in_list - 1 when an entry of the list matches the session's value for it (remote
// address, sender or recipient), else 0; 0 for an unknown id.
int session_in_list(const std::optional<std::string>& ip,
                    const std::optional<std::string>& mail_from,
                    const std::optional<std::string>& rcpt_to, int list_id,
                    const std::string& base_dir);

// iterate_exemption_list - hand each line of the list to handler: its stopping value, 0
// when all lines were handled or the list is absent, -1 for an unknown id.
int iterate_exemption_list(log_function log, int list_id, const line_handler& handler,
                           const std::string& base_dir);

// add_entry - append entry to the list: 0 added, 1 refused or failed, -1 unknown id.
int add_entry(log_function log, int list_id, const std::string& entry, const std::string& base_dir);

// del_entry - remove every line equal to entry: 0 deleted, 1 not found or failed, -1
// unknown id.
int del_entry(log_function log, int list_id, const std::string& entry, const std::string& base_dir);

// clear_exemption_list - remove the list file: 0, or -1 for an unknown id.
int clear_exemption_list(log_function log, int list_id, const std::string& base_dir);

}  // namespace korvex
