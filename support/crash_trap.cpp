// crash_trap - the programs' one crash handler. See crash_trap.h.
#include "support/crash_trap.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace korvex {

namespace {

// The handler may only touch what was prepared before the fault.
char trap_core_dir[PATH_MAX] = {};
mode_t trap_dir_mode = 0700;
bool trap_dir_may_exist = false;
bool trap_abort_unmoved = true;
void (*trap_last_words)() = nullptr;
void (*trap_unmoved)(bool wanted) = nullptr;
volatile sig_atomic_t trap_dump = 1;

extern "C" void handle_crash(int /*signal*/) {
  if (trap_last_words != nullptr) trap_last_words();
  const bool wanted = trap_dump != 0;
  if (wanted) {
    const bool moved = enter_core_directory(trap_core_dir, trap_dir_mode, trap_dir_may_exist);
    if (moved || trap_abort_unmoved) std::abort();
  }
  if (trap_unmoved != nullptr) trap_unmoved(wanted);
  _exit(1);
}

}  // namespace

bool enter_core_directory(const char* dir, mode_t mode, bool may_exist) {
  if (::mkdir(dir, mode) != 0 && !may_exist) return false;
  return ::chdir(dir) == 0;  // also decides for a directory that could not be made
}

bool install_crash_trap(const crash_trap_plan& plan) {
  // Lifted first and unconditionally: a core file is wanted even without the handler.
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  (void)::setrlimit(RLIMIT_CORE, &unlimited);  // only decides whether a crash leaves a core
  if (plan.core_dir.size() >= sizeof trap_core_dir) return false;
  std::memcpy(trap_core_dir, plan.core_dir.c_str(), plan.core_dir.size() + 1);
  trap_dir_mode = plan.dir_mode;
  trap_dir_may_exist = plan.dir_may_exist;
  trap_abort_unmoved = plan.abort_unmoved;
  trap_last_words = plan.last_words;
  trap_unmoved = plan.unmoved;
  trap_dump = plan.dump ? 1 : 0;
  struct sigaction action {};
  action.sa_handler = handle_crash;
  action.sa_flags = SA_RESETHAND;
  (void)::sigemptyset(&action.sa_mask);
  return ::sigaction(SIGSEGV, &action, nullptr) == 0;
}

void set_crash_dump(bool dump) { trap_dump = dump ? 1 : 0; }

}  // namespace korvex
