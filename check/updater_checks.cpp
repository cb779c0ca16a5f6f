// updater_checks - the files the updaters cannot work without: the TARN mirror and list
// files, the forgery-table mirrors and the administrator's address for alerts. Each is read
// with the updater's own reader, after this check has made sure it can be opened, so that
// the reader has nothing to complain about on the terminal.
//
// Exports: check_updater_files (see installation_check.h).
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "check/installation_check.h"
#include "support/unique_fd.h"
#include "update/ksfpull.h"
#include "update/tarn_functions.h"
#include "update/update_funcs.h"
#include "update/update_paths.h"

namespace korvex {
namespace {

void ignore_log(int /*priority*/, const char* /*format*/, ...) {}

// Why path cannot be read as a regular file; empty when it can. *size is its size.
std::string unreadable(const char* path, off_t* size) {
  struct stat status {};
  if (::stat(path, &status) != 0) {
    return errno == ENOENT ? "missing"
                           : std::string("cannot be read (") + std::strerror(errno) + ")";
  }
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const unique_fd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::string("cannot be read (") + std::strerror(errno) + ")";
  *size = status.st_size;
  return "";
}

struct updater_file {
  const char* path;
  bool (*has_entries)(const char* path);
  const char* nothing_in_it;  // what it is when it can be read but names nothing
  const char* without_it;
  const char* remedy;
};

bool tarn_file_has_entries(const char* path) {
  string_list entries;
  return __read_list_file(path, &entries, ignore_log) && !entries.empty();
}

bool ksf_mirrors_has_entries(const char* path) { return !load_mirrors(path).empty(); }

bool admin_email_has_address(const char* path) { return read_admin_address(path).has_value(); }

}  // namespace

void check_updater_files(check_report* report) {
  const updater_file files[] = {
      {kTarnMirrorFile, tarn_file_has_entries, "names no mirror",
       "so tarn_update fetches no TARN map", "write one mirror URL per line"},
      {kTarnListsFile, tarn_file_has_entries, "names no list", "so tarn_update fetches no TARN map",
       "write one TARN list name per line"},
      {kKsfMirrorFile, ksf_mirrors_has_entries, "names no mirror",
       "so ksfpull cannot update the forgery table", "write one mirror URL per line"},
      {kAdminEmailFile, admin_email_has_address, "holds no address of at most 255 characters",
       "so korvex-update's alerts reach nobody",
       "write the administrator's mail address on its first line"},
  };
  for (const updater_file& file : files) {
    off_t size = 0;
    std::string problem = unreadable(file.path, &size);
    // ksfpull's reader takes an empty file for an unreadable one and says so on stdout.
    if (problem.empty() && (size == 0 || !file.has_entries(file.path))) {
      problem = file.nothing_in_it;
    }
    if (!problem.empty()) report->add(file.path, problem + ", " + file.without_it, file.remedy);
  }
}

}  // namespace korvex
