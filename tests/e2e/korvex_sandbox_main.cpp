// korvex-sandbox - run one command in a throw-away sandbox (see sandbox_runner.h).
#include <iostream>
#include <string>
#include <vector>

#include "tests/e2e/sandbox_runner.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  const auto options = korvex::testing::parse_runner_arguments(arguments, &error);
  if (!options) {
    std::cerr << "korvex-sandbox: " << error << "\n"
              << "usage: korvex-sandbox [-f DIR] [-z ZONE] [-e NAME=VALUE]... [-E] [-i FILE] "
                 "[-t SECONDS] [--] PROGRAM [ARGUMENT]...\n";
    return 2;
  }
  return korvex::testing::run_sandboxed(*options, std::cout, std::cerr);
}
