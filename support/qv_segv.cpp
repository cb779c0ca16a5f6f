// qv_segv - crash trap and its signal handlers. See qv_segv.h.
#include "support/qv_segv.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "support/crash_trap.h"
#include "support/qv_log.h"
#include "support/qv_segv_internal.h"
#include "support/qv_stringutils.h"

namespace korvex {

std::atomic<char*> qv_app_prefix{nullptr};

namespace {

constexpr const char* kModule = "qv_segv";
constexpr mode_t kCoreDirectoryMode = 0700;
constexpr int kFaultSignals[] = {SIGSEGV, SIGILL, SIGABRT, SIGFPE};
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Take the recorded path away from the handlers; the caller owns what it returns.
char* take_prefix() { return qv_app_prefix.exchange(nullptr); }

void release_prefix() { std::free(take_prefix()); }

// End the process by signal's default action, as if no handler had been installed; the
// handler must never return into a faulting instruction.
[[noreturn]] void end_by_default(int signal) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigset_t only_this{};
  sigemptyset(&only_this);
  sigaddset(&only_this, signal);
  // Nothing useful is left to do if these fail: _exit below still ends the process.
  (void)sigaction(signal, &default_action, nullptr);
  (void)sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
  (void)raise(signal);
  _exit(128 + signal);
}

bool install(const int* signals, std::size_t count, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < count; ++i) {
    if (sigaction(signals[i], &action, nullptr) == -1) return false;
  }
  return true;
}

}  // namespace

void __qv_handle_segfault(int signal) {
  // Also the second entry, from the abort below: nothing recorded any more.
  char* path = qv_app_prefix.load();
  if (path == nullptr) end_by_default(signal);
  // A directory of this process's own: one that exists already is not entered.
  if (!enter_core_directory(path, kCoreDirectoryMode, false)) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    release_prefix();
    std::abort();
  }
  QV_DEBUG(kModule, "dumping core in directory %s", path);
  release_prefix();
  std::abort();
}

void __qv_segv_cleanup(int signal) {
  if (signal == 0) {
    release_prefix();
    return;
  }
  // In a signal handler the memory is not freed: free() is not safe here, and the
  // process ends at once anyway.
  (void)take_prefix();
  end_by_default(signal);
}

void __qv_segv_cleanup_wrapper() { __qv_segv_cleanup(0); }

int qv_trap_segfault(const char* application, const char* base_directory) {
  // Lifted first and unconditionally: a core file is wanted even without the trap.
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  (void)setrlimit(RLIMIT_CORE, &unlimited);
  if (application == nullptr || *application == '\0' || base_directory == nullptr ||
      *base_directory == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  string_slot pid_text;
  if (!qv_ltoa(&pid_text, static_cast<std::int32_t>(getpid()))) {
    QV_DEBUG(kModule, "fatal error getting and converting application PID");
    return 0;
  }
  const std::size_t size =
      std::strlen(application) + std::strlen(base_directory) + pid_text->size() + 3;
  auto* path = static_cast<char*>(std::malloc(size));
  if (path == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return 0;
  }
  // The size was computed from the very texts formatted here, so nothing is cut.
  (void)std::snprintf(path, size, "%s/%s.%s", base_directory, application, pid_text->c_str());
  std::free(qv_app_prefix.exchange(path));  // a second trap replaces the first
  QV_DEBUG(kModule, "generated core dump path [%s]", path);
  if (!install(kFaultSignals, std::size(kFaultSignals), __qv_handle_segfault)) {
    QV_ERROR(kModule, "fatal error trapping segmentation fault signals");
    release_prefix();
    return 0;
  }
  if (!install(kStopSignals, std::size(kStopSignals), __qv_segv_cleanup)) {
    QV_ERROR(kModule, "fatal error trapping term int hup signals");
    release_prefix();
    return 0;
  }
  if (std::atexit(__qv_segv_cleanup_wrapper) != 0) {
    QV_ERROR(kModule, "fatal error setting atexit cleanup routine. Continuing");
  }
  QV_DEBUG(kModule, "segmentation fault is trapped!");
  return 1;
}

}  // namespace korvex
