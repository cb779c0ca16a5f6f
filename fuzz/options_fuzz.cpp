// Fuzz target: the command-line parsers of korvex-plesk, regexpull and tarn_update.
// Input: the arguments separated by NUL (the program name is supplied).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugin/plesk_entry.h"
#include "support/qv_log.h"
#include "update/regex_funcs.h"
#include "update/tarn_functions.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  std::vector<std::string> args = korvex_fuzz::split_at_nul(data, size);
  if (args.size() > 64) args.resize(64);
  args.insert(args.begin(), "program");
  const int argc = static_cast<int>(args.size());

  {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = korvex_fuzz::argv_of(copy);
    optind = 0;  // the program parses once; the fuzzer calls again and again
    (void)korvex::parse_plesk_options(argc, argv.data(), korvex_fuzz::null_stream());
  }
  {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = korvex_fuzz::argv_of(copy);
    korvex::RegexOptions options;
    options.log = korvex_fuzz::quiet_log;
    (void)korvex::handle_args(argc, argv.data(), &options);
    (void)korvex::__generate_data(options);
    korvex::free_options(&options);
  }
  {
    std::vector<std::string> copy = args;
    std::vector<char*> argv = korvex_fuzz::argv_of(copy);
    korvex::TarnOptions options;
    options.log = korvex_fuzz::quiet_log;
    (void)korvex::handle_arguments(argc, argv.data(), &options);
  }
  return 0;
}
