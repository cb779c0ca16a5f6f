// list_paths - path building for the administrator lists and control files. See list_paths.h.
#include "lists/list_paths.h"

namespace korvex {

namespace {

const char* list_file_name(int list_id) {
  switch (list_id) {
    case kFromWhitelistList:
      return kFromWhitelistFile;
    case kExemptIpsList:
      return kExemptIpsFile;
    case kExemptUsersList:
      return kExemptUsersFile;
    case kBlockedIpsList:
      return kBlockedIpsFile;
    case kBlockedFromList:
      return kBlockedFromFile;
    default:
      return nullptr;
  }
}

}  // namespace

std::optional<std::string> list_file_path(const std::string& base_dir, int list_id) {
  const char* name = list_file_name(list_id);
  if (name == nullptr) return std::nullopt;
  return base_dir + "/" + name;
}

std::optional<std::string> tarn_file_path(const std::string& base_dir, int list_id) {
  if (list_id != kTarnEnabledList) return std::nullopt;
  return control_file_path(base_dir, kTarnEnabledFile);
}

std::string control_file_path(const std::string& base_dir, const char* name) {
  return base_dir + "/" + kControlSubdirectory + "/" + name;
}

}  // namespace korvex
