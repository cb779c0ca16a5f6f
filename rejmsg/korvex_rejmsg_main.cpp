// korvex-rejmsg - sets, removes and rebuilds the custom rejection messages of the filter
// plugin's rules. The work is done by rejmsg_tool; this is only the entry point.
#include "rejmsg/rejmsg_paths.h"
#include "rejmsg/rejmsg_tool.h"
#include "support/program_info.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "korvex-rejmsg", rejmsg_usage)) {
    return *answered;
  }
  return rejmsg_run(argc, argv, kRejectionDirectory);
}
