// checks_test_support - small helpers shared by the check tests: a scratch directory,
// in-memory-like streams backed by temporary files, whole-file reads and writes, TARN maps
// built from address lists, and a scoped environment variable.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "plugin/checks/checks_internal.h"
#include "tarn/tarn_map_writer.h"
#include "tests/support/log_capture.h"

namespace korvex::testing {

// Shows a captured line readably in failure messages.
inline void PrintTo(const LoggedLine& line, std::ostream* out) {
  *out << "{" << line.priority << ", \"" << line.text << "\"}";
}

}  // namespace korvex::testing

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

// A check context whose system-log lines are captured and whose resolver is scripted, for
// the lifetime of the object; it names no data file until a test sets one. Reverse answers
// are used in order, the last one repeating; a forward query nobody scripted is not
// answered.
class ScriptedChecks {
 public:
  ScriptedChecks() {
    ::korvex::testing::captured_lines().clear();
    reverse_answers().clear();
    reverse_calls() = 0;
    reverse_addresses().clear();
    forward_answers().clear();
    forward_calls().clear();
    context.system_log = ::korvex::testing::capture_sink;
    context.reverse_lookup = scripted_reverse;
    context.forward_lookup = scripted_forward;
  }
  ~ScriptedChecks() { ::korvex::testing::captured_lines().clear(); }
  ScriptedChecks(const ScriptedChecks&) = delete;
  ScriptedChecks& operator=(const ScriptedChecks&) = delete;

  // Reverse answers: 0 with a name, or an h_errno code.
  static std::vector<std::pair<int, std::string>>& reverse_answers() {
    static std::vector<std::pair<int, std::string>> answers;
    return answers;
  }
  static int& reverse_calls() {
    static int calls = 0;
    return calls;
  }
  // The addresses the reverse queries asked about, in order.
  static std::vector<ip_address>& reverse_addresses() {
    static std::vector<ip_address> addresses;
    return addresses;
  }
  static std::map<std::pair<std::string, int>, forward_outcome>& forward_answers() {
    static std::map<std::pair<std::string, int>, forward_outcome> answers;
    return answers;
  }
  static std::vector<std::pair<std::string, int>>& forward_calls() {
    static std::vector<std::pair<std::string, int>> calls;
    return calls;
  }
  static std::vector<::korvex::testing::LoggedLine> lines() {
    return ::korvex::testing::captured_lines();
  }
  static void clear_lines() { ::korvex::testing::captured_lines().clear(); }

  // What the checks under test are given.
  CheckContext context;

 private:
  static int scripted_reverse(const ip_address& address, std::string* name) {
    reverse_addresses().push_back(address);
    const auto& answers = reverse_answers();
    const std::size_t index = static_cast<std::size_t>(reverse_calls()++);
    if (answers.empty()) return HOST_NOT_FOUND;
    const auto& answer = answers[std::min(index, answers.size() - 1)];
    if (answer.first == 0) *name = answer.second;
    return answer.first;
  }
  static forward_outcome scripted_forward(const std::string& name, int type) {
    forward_calls().emplace_back(name, type);
    const auto found = forward_answers().find({name, type});
    return found == forward_answers().end() ? forward_outcome::no_answer : found->second;
  }
};

}  // namespace korvex::checks_test
