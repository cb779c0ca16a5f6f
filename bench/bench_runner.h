// bench_runner - measures korvex-plesk per RCPT TO against a trivial static program.
//
//   korvex-bench --data DIR [--iterations N] [--scaling-iterations N] [--no-scaling]
//                [--no-callgrind] [--plugin PATH] [--compare PATH] [--baseline PATH]
//                [--valgrind PATH]
//
// In a Sandbox (private mounts, loopback DNS, /dev/log captured and discarded) the runner
// binds DIR/tarn over /var/cache/tarn and, one data set after another, DIR/sets/<set>/
// etc/korvex over /etc/korvex, installs the plugin at its fixed path and the baseline
// beside it, checks once that every session gets the verdict it stands for, and then for
// each iteration starts the baseline and each session in turn (fork, execve, wait4 in
// korvex-bench-spawner, see spawner.c), so drift on a busy machine hits all alike. Each program is then run once under callgrind
// for its instruction count. Data set "full" plays four sessions (clean, blocked sender,
// exempt peer, TARN hit); the scaling sets play the clean one. With --compare, another build
// of the plugin plays the clean session of "full" in the same rounds, as "clean (compare)".
// The report goes to out.
// DIR must be visible inside the sandbox: not below /tmp or the private trees.
//
// Exit status: 0 after a report, 1 when the benchmark could not run, 2 for a bad command
// line.
//
// Exports: BenchOptions, parse_bench_arguments, machine_facts, run_benchmark.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "bench/bench_report.h"

namespace korvex::bench {

struct BenchOptions {
  std::string data;
  std::string plugin;
  std::string compare;  // another build of the plugin, or empty
  std::string baseline;
  std::string spawner;  // korvex-bench-spawner
  std::string valgrind = "/usr/bin/valgrind";
  int iterations = 30;
  int scaling_iterations = 10;
  bool scaling = true;
  bool callgrind = true;
};

// parse_bench_arguments - options over the defaults given; absent with *error for bad usage.
std::optional<BenchOptions> parse_bench_arguments(const std::vector<std::string>& arguments,
                                                  BenchOptions defaults, std::string* error);

// machine_facts - today's date, the CPU count and model, the system's name.
Machine machine_facts();

// run_benchmark - the whole run; returns the exit status described above.
int run_benchmark(const BenchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace korvex::bench
