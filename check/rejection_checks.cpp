// rejection_checks - the custom rejection texts: the key file every cache key is made
// from, and texts in the persistent directory that the plugin cannot find in the cache.
//
// Exports: check_rejections (see installation_check.h).
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "check/installation_check.h"
#include "rejmsg/rejection_cache.h"
#include "rejmsg/rejection_rebuild.h"
#include "rules/rule_registry.h"
#include "rejmsg/rejmsg_paths.h"

namespace korvex {

void check_rejections(check_report* report) {
  struct stat status {};
  if (::stat(kRejectionKeyFile, &status) != 0) {
    // Without it no key can be made, so no text can be found: one line says it all.
    report->add(kRejectionKeyFile,
                std::string("cannot be found (") + std::strerror(errno) +
                    "), so no custom rejection text reaches the cache",
                "reinstall it, then run korvex-rejmsg -i");
    return;
  }
  for (const rule_descriptor& rule : kRuleRegistry) {
    const std::string path = rejection_file_path(kRejectionDirectory, std::string(rule.name));
    // An empty file is no message: the rebuild removes it.
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
      continue;
    }
    if (rejection_cache_lookup(rule.reason, kRejectionKeyFile, nullptr) != -1) continue;
    report->add(path, "its text is not in the rejection cache", "run korvex-rejmsg -i");
  }
}

}  // namespace korvex
