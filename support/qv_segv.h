// qv_segv - the crash trap: on a fault the program moves into a directory of its own,
// "<base>/<application>.<pid>", created with mode 0700, and aborts so that its core file
// lands there. SIGTERM, SIGINT and SIGHUP release the recorded directory and then end the
// program as they would without the trap. Reports through qv_log under the module name
// "qv_segv".
//
// Exports: qv_app_prefix, qv_trap_segfault. The handlers live in qv_segv_internal.h.
#pragma once

#include <atomic>

namespace korvex {

// The core directory of this process (a heap string), or null when no trap is installed
// or after clean-up. Atomic so that the signal handlers may read and clear it.
extern std::atomic<char*> qv_app_prefix;

// qv_trap_segfault - lift the core-size limit and install the crash trap for application
// under base_directory; 1 when the trap is installed, 0 otherwise.
int qv_trap_segfault(const char* application, const char* base_directory);

}  // namespace korvex
