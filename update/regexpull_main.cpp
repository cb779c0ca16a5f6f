// regexpull - the regex list updater: downloads one pattern list from the regex service.
#include <sys/stat.h>

#include <cstdlib>

#include "support/program_info.h"
#include "update/regex_funcs.h"

int main(int argc, char* argv[]) {
  using namespace korvex;
  if (const std::optional<int> answered =
          answer_info_request(argc, argv, "regexpull", regex_usage)) {
    return *answered;
  }
  RegexOptions options;
  if (!handle_args(argc, argv, &options)) return EXIT_FAILURE;
  if (!valid_options(options)) {
    regex_usage(stdout, argv[0]);
    return EXIT_FAILURE;
  }
  ::umask(022);
  if (!options.debug && !is_ours(*options.file, options.log)) return EXIT_FAILURE;
  const bool downloaded = download_regex(options);
  free_options(&options);
  return downloaded ? EXIT_SUCCESS : EXIT_FAILURE;
}
