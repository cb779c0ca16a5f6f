// list_paths - where the administrator lists and the control files live, and the list ids
// that name them.
//
// Every routine of the lists module takes the configuration directory as a parameter; the
// programs pass kListDirectory, tests a directory of their own. Control files live in the
// "control" directory beneath it.
//
// Exports: kListDirectory, the list ids, the file names, list_file_path, tarn_file_path,
// control_file_path.
#pragma once

#include <optional>
#include <string>

namespace korvex {

// The administrator's configuration directory; the lists sit in it directly.
inline constexpr const char* kListDirectory = "/etc/korvex";
// Directory of the control files, beneath the configuration directory.
inline constexpr const char* kControlSubdirectory = "control";

// Administrator list ids (also the values korvex-listmgr maps its list options to).
inline constexpr int kFromWhitelistList = 1;
inline constexpr int kExemptIpsList = 2;
inline constexpr int kExemptUsersList = 3;
inline constexpr int kBlockedIpsList = 4;
inline constexpr int kBlockedFromList = 5;
// The only id of the one-member family holding tarn.enabled.
inline constexpr int kTarnEnabledList = 0;

inline constexpr const char* kFromWhitelistFile = "from_whitelist";
inline constexpr const char* kExemptIpsFile = "exempt_ips";
inline constexpr const char* kExemptUsersFile = "exempt_users";
inline constexpr const char* kBlockedIpsFile = "blocked_ips";
inline constexpr const char* kBlockedFromFile = "blocked_from";

inline constexpr const char* kRulesEnabledFile = "rules.enabled";
inline constexpr const char* kRulesDisabledFile = "rules.disabled";
// Rules that run but only report their hits.
inline constexpr const char* kRulesReportFile = "rules.report";
inline constexpr const char* kTarnEnabledFile = "tarn.enabled";

// list_file_path - path of administrator list 1 to 5 under base_dir; empty for other ids.
std::optional<std::string> list_file_path(const std::string& base_dir, int list_id);

// tarn_file_path - path of tarn.enabled for id 0 under base_dir; empty for other ids.
std::optional<std::string> tarn_file_path(const std::string& base_dir, int list_id);

// control_file_path - path of the named control file under base_dir.
std::string control_file_path(const std::string& base_dir, const char* name);

}  // namespace korvex
