// ksfpull - the forgery list updater's logic: environment checks, the mirror file, the
// mirror pick and the fetch that installs the table.
//
// Exports: see ksfpull.h.
#include "update/ksfpull.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/common_utils.h"
#include "support/file_io.h"
#include "update/report.h"
#include "support/qv_file.h"
#include "support/qv_list.h"
#include "support/qv_log.h"
#include "support/qv_stringutils.h"

namespace korvex {
namespace {

constexpr const char* kModule = "ksfpull";
constexpr int kHttpOk = 200;

bool environment_sane(const KsfPaths& paths) {
  // Said in the mail log as well: run from cron, nobody reads standard output.
  if (qv_file_executable(paths.curl.c_str()) != 1) {
    report(stdout, "Required utility %s is not executable!\n", paths.curl.c_str());
    QV_ERROR(kModule, "Required utility %s is not executable!", paths.curl.c_str());
    return false;
  }
  if (qv_directory_exists(paths.control_dir.c_str()) != 1) {
    report(stdout, "Output directory %s not found. Your installation appears to be corrupt\n",
                paths.control_dir.c_str());
    QV_ERROR(kModule, "Output directory %s not found. Your installation appears to be corrupt",
             paths.control_dir.c_str());
    return false;
  }
  if (!qv_file_exists(paths.mirror_file.c_str())) {
    report(stdout, "Required file %s not found. Your installation appears to be corrupt\n",
                paths.mirror_file.c_str());
    QV_ERROR(kModule, "Required file %s not found. Your installation appears to be corrupt",
             paths.mirror_file.c_str());
    return false;
  }
  return true;
}

// mirror_entry - a line of the mirror file without its comment and surrounding blanks.
std::string mirror_entry(const char* line) {
  string_slot entry = std::string(line);
  const std::size_t comment = entry->find('#');
  if (comment != std::string::npos) entry->resize(comment);
  qv_trim(&entry);
  return entry.value_or(std::string());
}

void remove_temporary(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    QV_ERROR(kModule, "unable to remove %s: %s", path.c_str(), std::strerror(errno));
  }
}

// write_table - write body into a new temporary file; every write and the close checked.
bool write_table(const std::string& temporary, const std::string& body) {
  const int fd = qv_open(temporary.c_str(), false, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool written = qv_write(fd, body.data(), body.size()) == 1;
  const bool closed = qv_close(fd) == 1;
  return written && closed;
}

}  // namespace

string_list load_mirrors(const std::string& path) {
  string_list mirrors;
  const std::optional<std::string> contents = qv_file_get_contents(path.c_str());
  if (!contents) {
    report(stdout, "Error retrieving contents of %s. Please check permissions\n", path.c_str());
    QV_ERROR(kModule, "Error retrieving contents of %s. Please check permissions", path.c_str());
    return mirrors;
  }
  qv_list lines;
  if (qv_list_from_string_by_char(&lines, contents->c_str(), contents->size(), '\n') != 1) {
    report(stdout, "out of memory error loading mirrors. Please try again later");
  }
  for (const auto& line : lines) {
    std::string entry = mirror_entry(static_cast<const char*>(line->data));
    if (!entry.empty()) (void)string_list_append(&mirrors, std::move(entry));  // memory only
  }
  qv_destroy_list(&lines, nullptr);
  return mirrors;
}

std::optional<std::string> pick_mirror(const string_list& mirrors) {
  if (mirrors.empty()) return std::nullopt;
  const auto index = static_cast<std::size_t>(std::rand()) % mirrors.size();
  return mirrors[index];
}

bool fetch_into_place(const std::string& curl, const std::string& url, const std::string& target) {
  std::string body;
  int status = 0;
  // The transfer line takes tool and URL as they stand: quote them so that nothing from
  // the mirror file is interpreted by the shell.
  if (!remote_fetch(shell_quote(curl), "", "-s -k", shell_quote(url), &body, &status)) {
    QV_ERROR(kModule, "transfer from %s failed: %s", url.c_str(), body.c_str());
    return false;
  }
  if (status != kHttpOk) {
    QV_ERROR(kModule, "%s answered with HTTP status %d", url.c_str(), status);
    return false;
  }
  const std::string temporary = target + ".tmp";
  // The installed table stays until a complete new one, safe on disk, can take its place.
  if (!write_table(temporary, body) || !install_file(temporary, target)) {
    QV_ERROR(kModule, "unable to install %s", target.c_str());
    remove_temporary(temporary);
    return false;
  }
  return true;
}

int ksfpull_run(const KsfPaths& paths) {
  if (!environment_sane(paths)) return 1;
  const string_list mirrors = load_mirrors(paths.mirror_file);
  if (mirrors.empty()) return 1;
  // Seeded once: attempts within one second still spread over the mirrors.
  std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(::getpid()));
  for (int attempt = 0; attempt < kKsfAttempts; ++attempt) {
    const std::optional<std::string> mirror = pick_mirror(mirrors);
    if (mirror && fetch_into_place(paths.curl, *mirror + kKsfRemotePath, paths.table_file)) {
      return 0;
    }
  }
  report(stdout, "Failed to retrieve update");
  QV_ERROR(kModule, "Failed to retrieve update from %s", paths.mirror_file.c_str());
  return 1;
}

}  // namespace korvex
