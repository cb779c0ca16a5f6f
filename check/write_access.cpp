// write_access - ownership and mode bits along a path. See write_access.h.
#include "check/write_access.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>

namespace korvex {
namespace {

// The directories leading to path, from the root down, path's parent last.
std::vector<std::string> directories_above(const std::string& path) {
  std::vector<std::string> directories = {"/"};
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    directories.push_back(path.substr(0, slash));
  }
  return directories;
}

}  // namespace

std::optional<account> find_account(const std::string& name) {
  const passwd* entry = ::getpwnam(name.c_str());
  if (entry == nullptr) return std::nullopt;
  account who{entry->pw_name, entry->pw_uid, {}};
  const gid_t primary = entry->pw_gid;
  int count = 16;
  for (;;) {
    who.groups.resize(static_cast<std::size_t>(count));
    const int wanted = count;
    if (::getgrouplist(who.name.c_str(), primary, who.groups.data(), &count) != -1) break;
    if (count <= wanted) count = wanted * 2;  // not told how many: grow anyway
  }
  who.groups.resize(static_cast<std::size_t>(count));
  return who;
}

bool may_access(const account& who, const struct stat& status, unsigned wanted) {
  if (who.uid == 0) return true;  // root is not stopped by mode bits here
  unsigned granted = status.st_mode & 07;
  if (status.st_uid == who.uid) {
    granted = (status.st_mode >> 6) & 07;
  } else if (std::find(who.groups.begin(), who.groups.end(), status.st_gid) != who.groups.end()) {
    granted = (status.st_mode >> 3) & 07;
  }
  return (granted & wanted) == wanted;
}

std::optional<write_blocker> find_write_blocker(const account& who, const std::string& path,
                                                bool directory) {
  using kind = write_blocker::kind;
  struct stat status {};
  for (const std::string& above : directories_above(path)) {
    if (::stat(above.c_str(), &status) != 0) return write_blocker{above, kind::missing};
    if (!S_ISDIR(status.st_mode)) return write_blocker{above, kind::wrong_type};
    if (!may_access(who, status, 1)) return write_blocker{above, kind::no_search};
  }
  const bool parent_writable = may_access(who, status, 2);
  if (::stat(path.c_str(), &status) != 0) {
    if (directory) return write_blocker{path, kind::missing};
    if (!parent_writable) return write_blocker{path.substr(0, path.rfind('/')), kind::not_writable};
    return std::nullopt;
  }
  if (directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
    return write_blocker{path, kind::wrong_type};
  }
  if (!may_access(who, status, directory ? 3 : 2)) return write_blocker{path, kind::not_writable};
  return std::nullopt;
}

}  // namespace korvex
