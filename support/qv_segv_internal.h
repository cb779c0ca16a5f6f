// qv_segv_internal - the crash trap's handlers, declared for qv_segv and its tests.
//
// Exports: __qv_handle_segfault, __qv_segv_cleanup, __qv_segv_cleanup_wrapper.
#pragma once

namespace korvex {

// __qv_handle_segfault - fault handler: make the core directory, move into it and abort;
// with no directory recorded, end the process by the signal's default action at once.
void __qv_handle_segfault(int signal);

// __qv_segv_cleanup - release the recorded core directory; run for a signal (non-zero),
// then end the process by that signal's default action.
void __qv_segv_cleanup(int signal);

// __qv_segv_cleanup_wrapper - the exit routine: release the recorded core directory.
void __qv_segv_cleanup_wrapper();

}  // namespace korvex
