// korvex-bench - measures korvex-plesk against a trivial static program; see bench_runner.h.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "bench/bench_runner.h"

int main(int argc, char** argv) {
  korvex::bench::BenchOptions defaults;
  defaults.plugin = KORVEX_BENCH_PLUGIN;
  defaults.baseline = KORVEX_BENCH_BASELINE;
  defaults.spawner = KORVEX_BENCH_SPAWNER;
  // A spawner that dies must show as an error, not kill the runner.
  (void)std::signal(SIGPIPE, SIG_IGN);
  std::string error;
  const auto options = korvex::bench::parse_bench_arguments(
      std::vector<std::string>(argv + 1, argv + argc), defaults, &error);
  if (!options) {
    std::cerr << "korvex-bench: " << error << "\n"
              << "usage: korvex-bench --data DIR [--iterations N] [--scaling-iterations N]"
                 " [--no-scaling] [--no-callgrind] [--plugin PATH] [--compare PATH]"
                 " [--baseline PATH]"
                 " [--valgrind PATH]\n";
    return 2;
  }
  return korvex::bench::run_benchmark(*options, std::cout, std::cerr);
}
