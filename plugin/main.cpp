// korvex-plesk - the qmail-spp filter plugin; everything happens in plesk_main.
#include <cstdio>

#include "plugin/plesk_entry.h"
#include "plugin/plugin_paths.h"
#include "support/program_info.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  const auto usage = [](std::FILE* stream, const char* /*program*/) { print_plesk_usage(stream); };
  if (const std::optional<int> answered = answer_info_request(argc, argv, kPleskIdentity, usage)) {
    return *answered;
  }
  return plesk_main(argc, argv);
}
