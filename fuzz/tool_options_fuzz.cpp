// Fuzz target: the command lines of korvex-listmgr and korvex-rejmsg, parsed and validated
// without running the operation. Input: the arguments separated by NUL (the program name
// is supplied). korvex-update and ksfpull take no arguments and have no parser.
//
// The parsers print their complaints and usage texts on standard output and standard
// error: run with -close_fd_mask=3 (scripts/fuzz does) to keep the fuzzer's output readable.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "listmgr/listmgr_tool.h"
#include "lists/list_paths.h"
#include "rules/rule_registry.h"
#include "rejmsg/rejmsg_tool.h"
#include "support/qv_log.h"

namespace {

// Whether entry is one of the arguments, or the tail of an option word (as in -fax).
bool was_given(const std::vector<std::string>& args, const std::string& entry) {
  return std::any_of(args.begin() + 1, args.end(), [&](const std::string& arg) {
    if (arg == entry) return true;
    return arg.size() > entry.size() + 1 && arg.front() == '-' &&
           arg.compare(arg.size() - entry.size(), std::string::npos, entry) == 0;
  });
}

// An accepted korvex-listmgr command line names one of the five lists; add and delete
// carry a non-empty entry taken from the arguments, list and an emptied add carry none.
void check_listmgr(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv = korvex_fuzz::argv_of(copy);
  korvex::ListmgrOptions options;
  if (!korvex::listmgr_parse_options(static_cast<int>(copy.size()), argv.data(), &options)) {
    return;
  }
  if (options.list_id < korvex::kFromWhitelistList || options.list_id > korvex::kBlockedFromList) {
    __builtin_trap();
  }
  switch (options.operation) {
    case korvex::kAddOperation:
    case korvex::kDeleteOperation:
      if (options.entry.empty() || !was_given(args, options.entry)) __builtin_trap();
      break;
    case korvex::kNoOperation:  // -a or -d with an empty entry: the dispatcher refuses it
    case korvex::kListOperation:
      if (!options.entry.empty()) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
}

// An accepted and valid korvex-rejmsg command line asks for a rebuild, or names a rule of
// the table for add or remove (add with a message).
void check_rejmsg(const std::vector<std::string>& args) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv = korvex_fuzz::argv_of(copy);
  korvex::RejmsgOptions options;
  if (!korvex::rejmsg_parse_options(static_cast<int>(copy.size()), argv.data(), &options)) return;
  const bool names_rule = options.operation == korvex::RejmsgOperation::ADD ||
                          options.operation == korvex::RejmsgOperation::REMOVE;
  if (names_rule && options.rule_name && !options.rule_name->empty()) {
    options.reason = static_cast<std::uint8_t>(korvex::rule_reason(*options.rule_name));
  }
  if (!korvex::rejmsg_validate(options)) return;
  switch (options.operation) {
    case korvex::RejmsgOperation::INIT:
      return;
    case korvex::RejmsgOperation::ADD:
      if (!options.message) __builtin_trap();
      [[fallthrough]];
    case korvex::RejmsgOperation::REMOVE: {
      const auto rule = std::find_if(
          korvex::kRuleRegistry.begin(), korvex::kRuleRegistry.end(),
          [&](const korvex::rule_descriptor& r) { return options.rule_name == r.name; });
      if (rule == korvex::kRuleRegistry.end() || rule->reason != options.reason) {
        __builtin_trap();
      }
      return;
    }
    default:
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  std::vector<std::string> args = korvex_fuzz::split_at_nul(data, size);
  if (args.size() > 64) args.resize(64);
  args.insert(args.begin(), "program");
  check_listmgr(args);
  check_rejmsg(args);
  return 0;
}
