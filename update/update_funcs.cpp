// update_funcs - the update job's logic: tool checks and the alert mail, the single-instance
// lock, the updater command lines and the crash handler.
//
// Exports: see update_funcs.h.
#include "update/update_funcs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/common_utils.h"
#include "support/crash_trap.h"
#include "support/file_io.h"
#include "update/report.h"

namespace korvex {
namespace {

constexpr std::size_t kPidTextMax = 18;
constexpr int kLockAttempts = 5;

// Crash handler state: the lock file to remove, only once this process holds it.
const char* crash_lock_path = nullptr;
volatile sig_atomic_t crash_lock_held = 0;

void remove_lock_on_crash() {
  struct stat status {};
  if (crash_lock_held != 0 && crash_lock_path != nullptr &&
      ::lstat(crash_lock_path, &status) == 0 && S_ISREG(status.st_mode)) {
    (void)::unlink(crash_lock_path);  // nothing left to do about a failure here
  }
}

// recorded_pid - the live process other than ours that the file's first line names, or 0.
long recorded_pid(int fd) {
  char text[kPidTextMax + 1] = {};
  const ssize_t length = ::pread(fd, text, kPidTextMax, 0);
  if (length <= 0) return 0;
  text[length] = '\0';
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 && pid != ::getpid() && ::kill(static_cast<pid_t>(pid), 0) == 0 ? pid : 0;
}

// is_update_job - whether the live process pid is an instance of this program: any process
// id can be written into a file in /tmp, and pid 1 is always alive.
bool is_update_job(long pid) {
  std::FILE* comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  if (comm == nullptr) return false;
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, comm) != nullptr;
  (void)std::fclose(comm);  // read only
  return read && std::strcmp(name, (std::string(kUpdateProgramName) + "\n").c_str()) == 0;
}

void say(log_function log, int priority, const std::string& text) {
  if (log != nullptr) log(priority, "%s", text.c_str());
}

// foreign_reason - why the file lstat described cannot be a lock of this user's instances,
// or nothing when it may be one.
std::string foreign_reason(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (status.st_uid != ::geteuid()) {
    return "it belongs to uid " + std::to_string(status.st_uid) + ", not to uid " +
           std::to_string(::geteuid());
  }
  return "";
}

// remove_foreign_lock - take away a lock file this program did not make; true when there is
// none (left) at path.
bool remove_foreign_lock(const std::string& path, log_function log) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  const std::string reason = foreign_reason(status);
  if (reason.empty()) return true;
  say(log, LOG_WARNING, "Replacing lock file " + path + ": " + reason);
  const int removed = S_ISDIR(status.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str());
  if (removed == 0 || errno == ENOENT) return true;
  say(log, LOG_ERR, "Unable to remove lock file " + path + ": " + std::strerror(errno));
  return false;
}

bool write_own_pid(int fd) {
  const std::string pid = std::to_string(::getpid());
  return ::ftruncate(fd, 0) == 0 &&
         ::pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
}

// still_at_path - the locked descriptor is still the file the path names (the previous
// holder may have removed it between our open and our lock).
bool still_at_path(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

void close_quietly(int fd) { (void)::close(fd); }  // lock files carry nothing to flush

// lock_once - one attempt; retry is true when the file vanished or was swapped under us.
LockResult lock_once(const std::string& path, UpdateLock* lock, bool* retry, log_function log) {
  *retry = false;
  if (!remove_foreign_lock(path, log)) return LockResult::Failed;
  // Never through a symbolic link (ELOOP), never into another user's file.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *retry = errno == ELOOP || errno == EEXIST;
    if (!*retry) say(log, LOG_ERR, "Unable to open lock file " + path + ": " + std::strerror(errno));
    return LockResult::Failed;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !foreign_reason(status).empty()) {
    close_quietly(fd);
    *retry = true;  // replaced meanwhile: judged again on the next attempt
    return LockResult::Failed;
  }
  if (!lock_whole_file(fd, lock_kind::flock_exclusive_try)) {
    const bool busy = errno == EWOULDBLOCK;
    close_quietly(fd);
    return busy ? LockResult::Busy : LockResult::Failed;
  }
  if (!still_at_path(fd, path)) {
    close_quietly(fd);
    *retry = true;
    return LockResult::Failed;
  }
  // A live instance recorded without our advisory lock is still another instance; any
  // other live process named there is not.
  if (const long pid = recorded_pid(fd); pid != 0) {
    if (is_update_job(pid)) {
      close_quietly(fd);
      return LockResult::Busy;
    }
    say(log, LOG_WARNING,
        "Replacing lock file " + path + ": it names process " + std::to_string(pid) +
            ", which is not " + kUpdateProgramName);
  }
  if (!write_own_pid(fd)) {
    say(log, LOG_ERR, "Unable to write lock file " + path + ": " + std::strerror(errno));
    close_quietly(fd);
    return LockResult::Failed;
  }
  lock->fd = fd;
  lock->path = path;
  return LockResult::Acquired;
}

}  // namespace

bool check_tools(const std::vector<RequiredTool>& tools, string_list* alerts) {
  bool all_present = true;
  for (const RequiredTool& tool : tools) {
    if (!path_is_executable(tool.path)) {
      (void)string_list_append(alerts, tool.message);  // fails only when memory runs out
      all_present = false;
    }
  }
  return all_present;
}

std::optional<std::string> read_admin_address(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return std::nullopt;
  std::string address;
  bool too_long = false;
  for (int c = std::fgetc(file); c != EOF && c != '\n' && c != '\0'; c = std::fgetc(file)) {
    if (c == 0xff) continue;
    if (address.size() == kAdminAddressMax) {
      too_long = true;  // a cut address could reach somebody else
      break;
    }
    address.push_back(static_cast<char>(c));
  }
  (void)std::fclose(file);  // opened for reading only
  if (too_long || address.empty()) return std::nullopt;
  return address;
}

bool send_pending_mail(const string_list& alerts, const std::string& admin_file,
                       const std::vector<std::string>& programs) {
  if (alerts.empty()) {
    report(stdout, "messages is NULL..");
    return false;
  }
  const std::optional<std::string> admin = read_admin_address(admin_file);
  if (!admin) return false;
  return send_messages(alerts, kAlertSender, *admin, kAlertSubject, programs);
}

LockResult acquire_update_lock(const std::string& path, UpdateLock* lock, log_function log) {
  bool retry = false;
  LockResult result = LockResult::Failed;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    result = lock_once(path, lock, &retry, log);
    if (!retry) break;
  }
  if (result == LockResult::Failed && retry) {
    say(log, LOG_ERR, "Unable to take lock file " + path + ": it keeps being replaced");
  }
  if (result == LockResult::Acquired) {
    crash_lock_path = lock->path.c_str();
    crash_lock_held = 1;
  }
  return result;
}

void release_update_lock(UpdateLock* lock) {
  if (lock->fd < 0) return;
  crash_lock_held = 0;
  struct stat status {};
  // Removed while still locked, so no other instance can lock the old file meanwhile.
  if (::lstat(lock->path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    (void)::unlink(lock->path.c_str());  // a leftover file is taken over as stale next time
  }
  close_quietly(lock->fd);
  lock->fd = -1;
}

std::string update_regex_command(const std::string& list_file, const std::string& type) {
  return shell_quote(kRegexpullProgram) + " -f " + shell_quote(list_file) + " -c tested -t " +
         shell_quote(type) + " -e -p " + shell_quote("korvex");
}

std::string update_ksf_command() { return shell_quote(kKsfpullProgram); }

std::string update_tarn_command() {
  return shell_quote(kTarnUpdateProgram) + " -f " + shell_quote(kTarnListsFile) + " -m " +
         shell_quote(kTarnMirrorFile) + " -u " +
         // tarn_update appends "incoming" to its output directory without a separator.
         shell_quote(std::string(kTarnMapDir) + "/");
}

void update_regex(const std::string& list_file, const std::string& type) {
  (void)run_command(update_regex_command(list_file, type).c_str());  // reports its own trouble
}

void update_ksf() { (void)run_command(update_ksf_command().c_str()); }

void update_tarn() { (void)run_command(update_tarn_command().c_str()); }

void run_updaters() {
  update_regex(kDynamicHostRegexFile, "DUL");
  update_regex(kAbusedHostRegexFile, "NONDUL");
  update_ksf();
  update_tarn();
}

int run_update_job(const std::string& lock_path, const std::function<void()>& updaters,
                   log_function log) {
  UpdateLock lock;
  switch (acquire_update_lock(lock_path, &lock, log)) {
    case LockResult::Busy:
      return 0;
    case LockResult::Failed:
      return 1;
    case LockResult::Acquired:
      break;
  }
  updaters();
  release_update_lock(&lock);
  return 0;
}

void install_update_crash_handler(const char* core_dir) {
  crash_trap_plan plan;
  plan.core_dir = core_dir;
  plan.dir_mode = 0755;
  plan.dir_may_exist = true;
  plan.last_words = remove_lock_on_crash;
  (void)install_crash_trap(plan);  // without it only the core directory differs
}

}  // namespace korvex
