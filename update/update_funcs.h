// update_funcs - the update job korvex-update: checks that the updaters and their tools are
// installed (mailing the administrator what is missing), keeps one instance at a time with
// a lock file, and runs regexpull twice, ksfpull and tarn_update in that order.
//
// Exports: RequiredTool, kRequiredTools, check_tools, read_admin_address, send_pending_mail,
// LockResult, UpdateLock, acquire_update_lock, release_update_lock, update_regex_command,
// update_ksf_command, update_tarn_command, update_regex, update_ksf, update_tarn,
// run_updaters, run_update_job, install_update_crash_handler.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/qv_log.h"
#include "support/string_list.h"
#include "update/send_messages.h"
#include "update/update_paths.h"

namespace korvex {

struct RequiredTool {
  std::string path;
  std::string message;  // alert text when the tool is missing
};

// The tools the updaters need, in the order they are checked.
inline const std::vector<RequiredTool> kRequiredTools = {
    {kTarnUpdateProgram, "Block Lists Update utility not found. Corrupt installation."},
    {kRegexpullProgram, "Regular Expressions Update utility not found. Corrupt installation."},
    {kBzip2Path, "Required utility bzip2 not found. Please install"},
    {kCurlPath, "Required utility curl not found. Please install"},
};

// Longest administrator address accepted.
inline constexpr std::size_t kAdminAddressMax = 255;

// check_tools - append the message of every tool that is not an executable regular file;
// true when all are present.
bool check_tools(const std::vector<RequiredTool>& tools, string_list* alerts);

// read_admin_address - the first line of the address file (line feed or NUL ends it, bytes
// 255 are skipped); none when the file cannot be read or the address is too long.
std::optional<std::string> read_admin_address(const std::string& path);

// send_pending_mail - mail the alerts to the administrator named in admin_file.
bool send_pending_mail(const string_list& alerts, const std::string& admin_file,
                       const std::vector<std::string>& programs = kMailPrograms);

// The update job's program name, as the kernel keeps it for a running instance.
inline constexpr const char* kUpdateProgramName = "korvex-update";

enum class LockResult { Acquired, Busy, Failed };

// An open, locked lock file; release_update_lock gives it up.
struct UpdateLock {
  int fd = -1;
  std::string path;
};

// acquire_update_lock - take the lock file; Busy when another live instance of this program
// holds it. A stale file is taken over; one this program did not make (a symbolic link, not
// a regular file, another user's, or naming a live process that is not korvex-update) is
// reported through log and replaced. Writes our process id.
LockResult acquire_update_lock(const std::string& path, UpdateLock* lock,
                               log_function log = nullptr);

// release_update_lock - remove the lock file and close it.
void release_update_lock(UpdateLock* lock);

// update_regex_command / update_ksf_command / update_tarn_command - the updater lines.
std::string update_regex_command(const std::string& list_file, const std::string& type);
std::string update_ksf_command();
std::string update_tarn_command();

// update_regex / update_ksf / update_tarn - run one updater; its status is not examined.
void update_regex(const std::string& list_file, const std::string& type);
void update_ksf();
void update_tarn();

// run_updaters - regexpull for both pattern lists, then ksfpull, then tarn_update.
void run_updaters();

// run_update_job - run the updaters while holding the lock at lock_path. Returns the exit
// status of the background process: 0, also when another instance is running.
// Lock trouble is reported through log.
int run_update_job(const std::string& lock_path, const std::function<void()>& updaters,
                   log_function log = nullptr);

// install_update_crash_handler - lift the core-file limit; on a fault remove our lock file
// and dump core in core_dir.
void install_update_crash_handler(const char* core_dir);

}  // namespace korvex
