// list_test_dir - a throw-away configuration directory (with its control directory) for
// the lists tests, and whole-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace korvex::testing {

class ListDir {
 public:
  ListDir() {
    char name[] = "/tmp/korvex-lists-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    base_ = name;
    std::filesystem::create_directory(base_ + "/control");
  }
  ~ListDir() {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
  ListDir(const ListDir&) = delete;
  ListDir& operator=(const ListDir&) = delete;

  const std::string& base() const { return base_; }
  std::string path(const std::string& name) const { return base_ + "/" + name; }

 private:
  std::string base_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// Lines "<prefix>1\n" .. "<prefix><count>\n".
inline std::string numbered_lines(const std::string& prefix, int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += prefix + std::to_string(i) + "\n";
  return text;
}

}  // namespace korvex::testing
