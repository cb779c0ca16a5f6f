// korvex-listmgr - adds, deletes and lists entries of the administrator lists under
// /etc/korvex. The work is done by listmgr_tool; this is only the entry point.
#include <syslog.h>

#include "listmgr/listmgr_tool.h"
#include "lists/list_paths.h"

int main(int argc, char* argv[]) {
  return korvex::listmgr_run(argc, argv, korvex::kListDirectory, ::syslog);
}
