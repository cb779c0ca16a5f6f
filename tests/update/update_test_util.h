// update_test_util - helpers shared by the updater tests: bzip2 archives made with the real
// tool, files read back, and stand-in programs written as small shell scripts.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

namespace korvex::testing {

// make_archive - write contents to path without ".bz2" and compress it to path.
inline void make_archive(const TempDir& dir, const std::string& name, const std::string& contents) {
  const std::string plain = dir.write(name.substr(0, name.size() - 4), contents);
  const std::string command = "/bin/bzip2 -zkf '" + plain + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::remove(plain.c_str());
}

// write_script - an executable shell script.
inline std::string write_script(const TempDir& dir, const std::string& name,
                                const std::string& body) {
  const std::string path = dir.write(name, "#!/bin/sh\n" + body);
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  return path;
}

inline bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

inline ino_t inode_of(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

}  // namespace korvex::testing
