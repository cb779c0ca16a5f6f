// check_report - the collected problem lines. See check_report.h.
#include "check/check_report.h"

#include "plugin/load_spp_env.h"

namespace korvex {

void check_report::add(const std::string& file, const std::string& problem,
                       const std::string& remedy) {
  // File names and entries come from files anybody may have written: no control byte of
  // theirs reaches the terminal or splits a line.
  lines_.push_back(blank_control_bytes("korvex-check: " + file + ": " + problem + "; " + remedy));
}

}  // namespace korvex
