// korvex-regex-index - rebuilds the index beside hand-edited or generated pattern lists.
#include <cstdio>

#include "support/program_info.h"
#include "update/regex_index_tool.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "korvex-regex-index", regex_index_usage)) {
    return *answered;
  }
  return regex_index_tool(argc, argv, stdout, stderr);
}
