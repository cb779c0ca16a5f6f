// korvex-listmgr - adds, deletes and lists entries of the administrator lists under
// /etc/korvex. The work is done by listmgr_tool; this is only the entry point.
#include <syslog.h>

#include <cstdio>

#include "listmgr/listmgr_tool.h"
#include "lists/list_paths.h"
#include "support/program_info.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  const auto usage = [](std::FILE* stream, const char* /*program*/) { listmgr_usage(stream); };
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, kListmgrProgram, usage)) {
    return *answered;
  }
  return listmgr_run(argc, argv, kListDirectory, ::syslog);
}
