// korvex-report - the administrator's report of a period's mail decisions. The work is done
// by report_tool; this is only the entry point.
#include <syslog.h>

#include <cstdio>
#include <ctime>

#include "report/report_tool.h"
#include "support/program_info.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, kReportProgram, report_usage)) {
    return *answered;
  }
  ::openlog(kReportProgram, LOG_PID, LOG_MAIL);
  ReportSetup setup;
  setup.now = std::time(nullptr);
  setup.system_log = ::syslog;
  return report_tool(argc, argv, setup, stdout, stderr);
}
