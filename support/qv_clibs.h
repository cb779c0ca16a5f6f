// qv_clibs - process-level services of the support library: running with a service
// account's rights, and a wall-clock stopwatch. Both report through qv_log under the
// module name "qv_clibs".
//
// Exports: qv_set_run_as, qv_stopwatch, qv_stopwatch_start, qv_stopwatch_stop.
#pragma once

#include <sys/time.h>

namespace korvex {

// A caller-owned stopwatch; start.tv_sec of 0 means it has not been started.
struct qv_stopwatch {
  timeval start;
  timeval stop;
};

// qv_set_run_as - make the process run with user's rights: root switches its effective
// id to the user (and can switch back); the user itself stays as it is. 1 when the
// process now has the rights required, 0 otherwise.
int qv_set_run_as(const char* user);

// qv_stopwatch_start - clear the watch and record the start time; 1 started, 0 on failure.
int qv_stopwatch_start(qv_stopwatch* watch);

// qv_stopwatch_stop - record the stop time; the seconds since start, or -1 on failure.
double qv_stopwatch_stop(qv_stopwatch* watch);

}  // namespace korvex
