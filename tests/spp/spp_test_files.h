// spp_test_files - scratch directories, stand-in plugins and descriptor helpers for the
// SMTP front end's tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace korvex::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "korvex-spp.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // write - a file with exactly content and mode; returns its path.
  std::string write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
    const std::string path = file(name);
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << content;
      EXPECT_TRUE(out.good()) << path;
    }
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
  }

  // script - an executable shell script with the given body; returns its path.
  std::string script(const std::string& name, const std::string& body) const {
    return write(name, "#!/bin/sh\n" + body, 0755);
  }

  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // entries - names in the directory, sorted; empty when it does not exist.
  std::vector<std::string> entries(const std::string& name) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(file(name), error)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

// descriptor_count - how many descriptors this process has open.
inline std::size_t descriptor_count() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace korvex::testing
