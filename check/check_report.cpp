// check_report - the collected problem lines. See check_report.h.
#include "check/check_report.h"

namespace korvex {

void check_report::add(const std::string& file, const std::string& problem,
                       const std::string& remedy) {
  lines_.push_back("korvex-check: " + file + ": " + problem + "; " + remedy);
}

}  // namespace korvex
