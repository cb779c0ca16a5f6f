// check_tool - korvex-check's command line and report. See check_tool.h.
#include "check/check_tool.h"

#include <getopt.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "check/check_report.h"
#include "check/installation_check.h"
#include "support/program_info.h"

namespace korvex {

void check_usage(std::FILE* stream) {
  (void)std::fputs(
      "Usage: korvex-check [-q]\n"
      "Checks the Korvex installation and prints one line per problem found, with what to\n"
      "do about it.\n"
      "   -q          print nothing, only set the exit status (for monitoring)\n"
      "   -h, --help  print this text\n"
      "   --version   print the name and version\n"
      "Exit status: 0 no problem found, 1 problems found, 2 usage error.\n",
      stream);
}

int check_tool(int argc, char* argv[], std::FILE* out, std::FILE* err) {
  static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                        {"quiet", no_argument, nullptr, 'q'},
                                        {"version", no_argument, nullptr, 'V'},
                                        {nullptr, 0, nullptr, 0}};
  bool quiet = false;
  optind = 0;  // full re-initialisation, so the parser can run more than once
  opterr = 0;  // the usage says it all
  for (int option = 0; (option = ::getopt_long(argc, argv, "hq", long_options, nullptr)) != -1;) {
    if (option == 'h') {
      check_usage(out);
      return kCheckClean;
    }
    if (option == 'V') {
      print_version(out, "korvex-check");
      return kCheckClean;
    }
    if (option != 'q') {
      check_usage(err);
      return kCheckUsage;
    }
    quiet = true;
  }
  if (optind < argc) {
    check_usage(err);
    return kCheckUsage;
  }
  check_report report;
  check_installation(&report);
  if (!quiet) {
    for (const std::string& line : report.lines()) (void)std::fprintf(out, "%s\n", line.c_str());
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
      (void)std::fprintf(err, "korvex-check: cannot write the report: %s\n", std::strerror(errno));
      return kCheckUsage;
    }
  }
  return report.empty() ? kCheckClean : kCheckProblems;
}

}  // namespace korvex
