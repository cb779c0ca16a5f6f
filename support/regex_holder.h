// regex_holder - the one owner of a compiled POSIX regular expression: compiled on request
// or on construction, freed when the holder goes, whatever way a routine leaves.
//
// Exports: regex_holder.
#pragma once

#include <regex.h>

#include <algorithm>
#include <optional>
#include <string>

namespace korvex {

class regex_holder {
 public:
  regex_holder() = default;
  // Compiles pattern with flags at once; ok() tells whether it compiled.
  regex_holder(const std::string& pattern, int flags) { (void)compile(pattern.c_str(), flags); }
  ~regex_holder() { release(); }
  regex_holder(const regex_holder&) = delete;
  regex_holder& operator=(const regex_holder&) = delete;

  // compile - compile pattern with flags in place of what was held; regcomp's code.
  int compile(const char* pattern, int flags) {
    release();
    const int code = regcomp(&regex_, pattern, flags);
    compiled_ = code == 0;
    return code;
  }

  // ok - an expression is held.
  bool ok() const { return compiled_; }

  // matches - the expression matches somewhere in subject (nowhere when none is held).
  bool matches(const char* subject) const {
    return compiled_ && regexec(&regex_, subject, 0, nullptr, 0) == 0;
  }
  bool matches(const std::string& subject) const { return matches(subject.c_str()); }

  // first_match - where the expression first matches in subject, as offsets into it.
  std::optional<regmatch_t> first_match(const char* subject) const {
    regmatch_t match{};
    if (!compiled_ || regexec(&regex_, subject, 1, &match, 0) != 0) return std::nullopt;
    return match;
  }

  // error - the text of regcomp's code from the last compile, cut to fit a buffer of size
  // bytes with its terminator, as regerror would cut it.
  std::string error(int code, std::size_t size) const {
    if (size == 0) return std::string();
    std::string text(size, '\0');
    const std::size_t needed = regerror(code, &regex_, text.data(), size);
    text.resize(std::min(needed, size) - 1);
    return text;
  }

 private:
  void release() {
    if (compiled_) regfree(&regex_);
    compiled_ = false;
  }

  regex_t regex_{};
  bool compiled_ = false;
};

}  // namespace korvex
