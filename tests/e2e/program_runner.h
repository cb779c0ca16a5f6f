// program_runner - run one program to completion and collect what it did.
//
// The program gets exactly the environment it is given (nothing is inherited unless
// asked), the standard input given (or an empty one), its own process group, default
// signal dispositions and no descriptors beyond 0, 1 and 2. Its standard output and
// standard error are collected separately. A program still running at the timeout is
// killed with its process group; whatever of its group is left when it ends is killed too.
// run_program may be called from several threads at once; run_programs does that to run a
// batch of programs side by side.
//
// Exports: RunOptions, RunResult, run_program, ProgramJob, run_programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/syslog_sink.h"

namespace korvex::testing {

struct RunOptions {
  std::vector<std::string> env;             // "NAME=value", given to the program exactly
  bool inherit_environment = false;         // start from this process's environment instead
  std::optional<std::string> input;         // standard input; absent means empty
  std::string directory = "/";              // working directory
  int timeout_seconds = 60;
  // The program starts a process of its own that outlives it (daemon(3)): what it leaves in
  // its process group when it ends is not killed, since that may be the process on its way
  // out of the group.
  bool detaches = false;
};

struct RunResult {
  std::string out;
  std::string err;
  int exit_status = -1;  // the exit status when the program exited, else -1
  int signal = 0;        // the signal that ended it, else 0
  bool timed_out = false;
  std::vector<SyslogLine> syslog;  // filled by Sandbox::run
  std::string error;               // why the program could not be run at all
  pid_t pid = 0;                   // the program's process id once it was started
  // Just before the program was started and just after it was reaped: what it did to
  // files lies in between, which lets tests order runs made side by side.
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point ended;

  bool exited_with(int status) const { return error.empty() && signal == 0 && exit_status == status; }
  // describe - status, signal, error and both outputs, for failure messages.
  std::string describe() const;
};

// run_program - run argv[0] (a path; no PATH search) with argv and wait for it.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

struct ProgramJob {
  std::vector<std::string> argv;
  RunOptions options;
};

// run_programs - run every job with run_program, at most parallelism (at least one) at
// a time, each on a thread of its own; the results in the order of jobs.
std::vector<RunResult> run_programs(const std::vector<ProgramJob>& jobs, unsigned parallelism);

}  // namespace korvex::testing
