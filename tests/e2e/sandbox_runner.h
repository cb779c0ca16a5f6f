// sandbox_runner - what the korvex-sandbox command does, kept out of main for the tests.
//
//   korvex-sandbox [-f DIR] [-z ZONE] [-e NAME=VALUE]... [-E] [-i FILE] [-t SECONDS]
//                  [--] PROGRAM [ARGUMENT]...
// runs PROGRAM in a fresh Sandbox. -f copies the tree below DIR in (DIR/etc/korvex/x
// lands at /etc/korvex/x, modes kept; directories the
// sandbox already has keep theirs); -z loads DNS records in the zone text of
// dns_responder.h; -e adds to the program's environment, which otherwise holds only a
// PATH (-E starts from the runner's own environment instead); -i gives a file ("-" for
// the runner's standard input) as standard input; -t sets the timeout (default 300).
// The program's output is passed on, then the syslog lines it produced are printed as
// "syslog: <facility>.<severity> <identity>: <text>". The exit status is the program's,
// 128 plus the signal that killed it, 124 after a timeout, 125 when the sandbox could
// not be set up or the program not started, and 2 for a bad command line.
//
// Exports: RunnerOptions, PlacedFile, parse_runner_arguments, load_tree, run_sandboxed.
#pragma once

#include <sys/types.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvex::testing {

inline constexpr const char* kRunnerDefaultPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
inline constexpr int kRunnerSetupFailure = 125;

struct RunnerOptions {
  std::optional<std::string> tree;
  std::optional<std::string> zone;
  std::vector<std::string> env;
  bool inherit_environment = false;
  std::optional<std::string> input;
  int timeout_seconds = 300;
  std::vector<std::string> command;
};

struct PlacedFile {
  std::string path;  // where it lands inside
  std::string content;
  mode_t mode;
  bool directory;
  bool operator==(const PlacedFile&) const = default;
};

// parse_runner_arguments - options and command; absent with *error set for bad usage.
std::optional<RunnerOptions> parse_runner_arguments(const std::vector<std::string>& arguments,
                                                    std::string* error);

// load_tree - every directory and regular file below root, parents first; absent with
// *error set when something cannot be read or is neither.
std::optional<std::vector<PlacedFile>> load_tree(const std::string& root, std::string* error);

// run_sandboxed - the whole command: returns the exit status described above.
int run_sandboxed(const RunnerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace korvex::testing
