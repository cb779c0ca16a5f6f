// Fuzz target: the updaters' file readers - tarn_update's lists and mirror file reader
// with the mirror-type test of every entry, ksfpull's mirror file loader, regexpull's
// ownership test of an installed list, and the administrator address file.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "support/qv_log.h"
#include "support/string_list.h"
#include "update/ksfpull.h"
#include "update/regex_funcs.h"
#include "update/tarn_functions.h"
#include "update/update_funcs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  const std::string path = korvex_fuzz::scratch_dir() + "/input";
  korvex_fuzz::write_file(path, data, size);

  korvex::string_list entries;
  if (korvex::__read_list_file(path, &entries, korvex_fuzz::quiet_log)) {
    for (const std::string& entry : entries) {
      if (entry.size() > korvex::kListEntryMax) __builtin_trap();
      (void)korvex::__mirror_type(entry);
    }
  }
  const korvex::string_list mirrors = korvex::load_mirrors(path);
  for (const std::string& mirror : mirrors) {
    if (mirror.empty()) __builtin_trap();
  }
  (void)korvex::is_ours(path, korvex_fuzz::quiet_log);
  const std::optional<std::string> admin = korvex::read_admin_address(path);
  if (admin && admin->size() > korvex::kAdminAddressMax) __builtin_trap();
  return 0;
}
