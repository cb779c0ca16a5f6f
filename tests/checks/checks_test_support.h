// checks_test_support - small helpers shared by the check tests: a scratch directory,
// in-memory-like streams backed by temporary files, whole-file reads and writes, TARN maps
// built from address lists, and a scoped environment variable.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "plugin/checks/tarn_map_writer.h"

namespace korvex::checks_test {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "korvex-checks-XXXXXX").string();
    const char* made = ::mkdtemp(templ.data());
    EXPECT_NE(made, nullptr);
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A read/write stream that starts out holding text, positioned at its start.
inline std::FILE* text_stream(const std::string& text) {
  std::FILE* stream = std::tmpfile();
  if (stream == nullptr) return nullptr;
  (void)std::fwrite(text.data(), 1, text.size(), stream);
  std::rewind(stream);
  return stream;
}

// Everything the stream holds, from its start.
inline std::string stream_text(std::FILE* stream) {
  (void)std::fflush(stream);
  std::rewind(stream);
  std::string text;
  int c = 0;
  while ((c = std::fgetc(stream)) != EOF) text.push_back(static_cast<char>(c));
  return text;
}

inline std::vector<unsigned char> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Writes the TARN map listing the given addresses and blocks to path.
inline void write_map(const std::string& path, const std::vector<std::string>& entries) {
  tarn_map_builder builder;
  for (const auto& entry : entries) {
    tarn_block block{};
    ASSERT_TRUE(tarn_parse_block(entry, &block)) << entry;
    builder.add(block);
  }
  write_bytes(path, builder.serialize());
}

// Sets (or, with no value, removes) an environment variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace korvex::checks_test
