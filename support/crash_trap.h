// crash_trap - what every program does when it faults: say its last words (a log line, a
// lock file removed), move into its core directory and abort there, so that the core file
// lands in that directory; or, when no core is wanted or the directory cannot be had, end
// at once. Each program names its own directory and manners in a crash_trap_plan; the
// support library's qv_trap_segfault enters its directory through the same routine.
//
// Exports: crash_trap_plan, install_crash_trap, set_crash_dump, enter_core_directory.
#pragma once

#include <sys/types.h>

#include <string>

namespace korvex {

struct crash_trap_plan {
  // Where the core file goes.
  std::string core_dir;
  // The mode the directory is made with.
  mode_t dir_mode = 0700;
  // The directory is kept between crashes: one that exists already is used as it is.
  // Otherwise it is made for this process, and one that cannot be made is not entered.
  bool dir_may_exist = false;
  // When the directory cannot be made or entered: abort where the process stands (true),
  // or end with exit status 1 and no core file.
  bool abort_unmoved = true;
  // Run first on a fault; must be async-signal-safe. May be null.
  void (*last_words)() = nullptr;
  // Run before the process ends with status 1, told whether a core file was wanted (and the
  // directory failed) or not wanted; must be async-signal-safe. May be null.
  void (*unmoved)(bool wanted) = nullptr;
  // Whether a fault leaves a core file; set_crash_dump changes it later.
  bool dump = true;
};

// install_crash_trap - lift the core-file size limit and handle SIGSEGV by the plan (once:
// a second fault inside the handler ends the process by default). False when the handler
// could not be installed or the directory name does not fit.
bool install_crash_trap(const crash_trap_plan& plan);

// set_crash_dump - whether a fault from now on leaves a core file in the core directory.
void set_crash_dump(bool dump);

// enter_core_directory - make dir with mode (one that exists already will do when
// may_exist) and change into it; false with errno set. Async-signal-safe.
bool enter_core_directory(const char* dir, mode_t mode, bool may_exist);

}  // namespace korvex
