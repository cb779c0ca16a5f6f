// korvex-rejmsg - sets, removes and rebuilds the custom rejection messages of the filter
// plugin's rules. The work is done by rejmsg_tool; this is only the entry point.
#include "rejmsg/rejmsg_paths.h"
#include "rejmsg/rejmsg_tool.h"

int main(int argc, char* argv[]) {
  return korvex::rejmsg_run(argc, argv, korvex::kRejectionDirectory);
}
