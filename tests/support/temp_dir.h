// temp_dir - a fresh directory under /tmp for one test, removed with everything in it
// when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace korvex::testing {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/korvex-test.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // write - create or replace a file below the directory; its full path.
  std::string write(const std::string& name, const std::string& contents) const {
    const std::string full = file(name);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << contents;
    return full;
  }

  // read - a file's whole contents (empty when it cannot be read).
  static std::string read(const std::string& full) {
    std::ifstream in(full, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

}  // namespace korvex::testing
