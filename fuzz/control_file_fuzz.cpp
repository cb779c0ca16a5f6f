// Fuzz target: the control-file readers - rules.enabled, rules.disabled and tarn.enabled
// read into sorted lists, and the plugin's first-line control flags.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "lists/control_files.h"
#include "lists/list_paths.h"
#include "plugin/load_spp_env.h"
#include "support/qv_log.h"
#include "support/string_list.h"

namespace {

// The control directory under the scratch directory, made once.
const std::string& control_dir() {
  static const std::string dir = [] {
    const std::string base = korvex_fuzz::scratch_dir();
    const std::string control = base + "/" + korvex::kControlSubdirectory;
    if (::mkdir(control.c_str(), 0700) != 0 && errno != EEXIST) std::abort();
    return base;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  const std::string& base = control_dir();
  for (const char* name : {korvex::kRulesEnabledFile, korvex::kRulesDisabledFile,
                           korvex::kTarnEnabledFile}) {
    korvex_fuzz::write_file(korvex::control_file_path(base, name), data, size);
  }
  const korvex::string_list enabled = korvex::read_rules_enabled(base);
  if (!std::is_sorted(enabled.begin(), enabled.end())) __builtin_trap();
  const korvex::string_list disabled = korvex::read_rules_disabled(base);
  if (disabled != enabled) __builtin_trap();
  const std::optional<korvex::string_list> tarn =
      korvex::read_tarn_list(korvex::kTarnEnabledList, base);
  if (!tarn || *tarn != enabled) __builtin_trap();
  korvex::string_list direct;
  if (korvex::read_list_file(korvex::control_file_path(base, korvex::kRulesEnabledFile),
                             &direct) != 0) {
    __builtin_trap();
  }
  (void)korvex::read_control_flag(
      korvex::control_file_path(base, korvex::kRulesEnabledFile).c_str());
  return 0;
}
