// write_access - whether a user may write a file or a directory, judged from owners and
// mode bits the way the kernel judges an unprivileged process with that user's groups.
//
// Exports: account, find_account, may_access, write_blocker, find_write_blocker.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace korvex {

// A user as a process running as it would be: user id and every group id.
struct account {
  std::string name;
  uid_t uid = 0;
  std::vector<gid_t> groups;
};

// find_account - the user named name with its groups; none when there is no such user.
std::optional<account> find_account(const std::string& name);

// may_access - whether who may read (4), write (2) and search or run (1), as wanted, the
// file status describes. The owner's bits apply to the owner, the group's to its members.
bool may_access(const account& who, const struct stat& status, unsigned wanted);

// What keeps a user from writing: the path that stops it and how.
struct write_blocker {
  enum class kind {
    missing,       // path (a directory the target needs) does not exist
    no_search,     // path is a directory on the way that the user cannot pass
    not_writable,  // path is the target, or the directory a missing target is made in
    wrong_type,    // path is the target and not a regular file or directory, as wanted
  };
  std::string path;
  kind what = kind::missing;
};

// find_write_blocker - why who cannot write the regular file at path (made when missing)
// or, with directory set, files in the directory at path; none when it can.
std::optional<write_blocker> find_write_blocker(const account& who, const std::string& path,
                                                bool directory);

}  // namespace korvex
