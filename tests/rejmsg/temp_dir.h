// temp_dir - a throw-away directory for a test, with helpers to lay out and inspect files.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace korvex::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvex-rejmsg.XXXXXX");
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    EXPECT_TRUE(out.good()) << name;
  }

  // Every entry of the directory with its content (symbolic links followed, "<dir>" for
  // directories).
  std::map<std::string, std::string> contents() const {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      const std::string name = entry.path().filename();
      if (entry.is_directory()) {
        entries[name] = "<dir>";
        continue;
      }
      std::ifstream in(entry.path(), std::ios::binary);
      entries[name].assign(std::istreambuf_iterator<char>(in), {});
    }
    return entries;
  }

 private:
  std::string path_;
};

}  // namespace korvex::testing
