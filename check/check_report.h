// check_report - what korvex-check found: one line per problem, naming the file, what is
// wrong with it and what to do about it, in the order the checks found them.
//
// Exports: check_report.
#pragma once

#include <string>
#include <vector>

namespace korvex {

class check_report {
 public:
  // add - one problem: "korvex-check: <file>: <problem>; <remedy>", control bytes blanked.
  void add(const std::string& file, const std::string& problem, const std::string& remedy);
  const std::vector<std::string>& lines() const { return lines_; }
  bool empty() const { return lines_.empty(); }

 private:
  std::vector<std::string> lines_;
};

}  // namespace korvex
