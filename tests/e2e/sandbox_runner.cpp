// sandbox_runner - option parsing, tree loading and the run of the korvex-sandbox command.
#include "tests/e2e/sandbox_runner.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

constexpr int kTimedOutStatus = 124;
constexpr int kSignalBase = 128;

std::optional<std::string> read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

bool load_below(const std::string& root, const std::string& relative,
                std::vector<PlacedFile>* files, std::string* error) {
  const std::string directory_path = root + relative;
  DIR* directory = opendir(directory_path.c_str());
  if (directory == nullptr) {
    *error = "cannot read directory " + directory_path;
    return false;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  (void)closedir(directory);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string inside = relative + "/" + name;
    struct stat info {};
    if (lstat((root + inside).c_str(), &info) != 0) {
      *error = "cannot stat " + root + inside;
      return false;
    }
    if (S_ISDIR(info.st_mode)) {
      files->push_back({inside, {}, info.st_mode & 07777, true});
      if (!load_below(root, inside, files, error)) return false;
    } else if (S_ISREG(info.st_mode)) {
      const auto content = read_whole(root + inside);
      if (!content) {
        *error = "cannot read " + root + inside;
        return false;
      }
      files->push_back({inside, *content, info.st_mode & 07777, false});
    } else {
      *error = "neither a file nor a directory: " + root + inside;
      return false;
    }
  }
  return true;
}

// A bare command name is looked up in the PATH the program will get.
std::string resolve_program(const std::string& name, const std::vector<std::string>& env) {
  if (name.find('/') != std::string::npos) return name;
  std::string path = "/usr/sbin:/usr/bin:/sbin:/bin";
  for (const std::string& entry : env) {
    if (entry.rfind("PATH=", 0) == 0) path = entry.substr(5);
  }
  std::istringstream directories(path);
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

std::vector<std::string> environment_of(const RunnerOptions& options) {
  if (options.inherit_environment) return options.env;
  const bool has_path = std::any_of(options.env.begin(), options.env.end(),
                                    [](const std::string& entry) { return entry.rfind("PATH=", 0) == 0; });
  std::vector<std::string> env;
  if (!has_path) env.emplace_back(kRunnerDefaultPath);
  env.insert(env.end(), options.env.begin(), options.env.end());
  return env;
}

struct Prepared {
  std::vector<PlacedFile> files;
  std::string zone;
  std::optional<std::string> input;
};

// Everything from the host is read before the sandbox hides it (a tree below /tmp, say).
std::optional<Prepared> prepare(const RunnerOptions& options, std::string* error) {
  Prepared prepared;
  if (options.tree) {
    auto files = load_tree(*options.tree, error);
    if (!files) return std::nullopt;
    prepared.files = std::move(*files);
  }
  if (options.zone) {
    auto zone = read_whole(*options.zone);
    if (!zone) {
      *error = "cannot read zone file " + *options.zone;
      return std::nullopt;
    }
    prepared.zone = std::move(*zone);
  }
  if (options.input) {
    if (*options.input == "-") {
      prepared.input = std::string((std::istreambuf_iterator<char>(std::cin)),
                                   std::istreambuf_iterator<char>());
    } else {
      prepared.input = read_whole(*options.input);
      if (!prepared.input) {
        *error = "cannot read input file " + *options.input;
        return std::nullopt;
      }
    }
  }
  return prepared;
}

::testing::AssertionResult furnish(Sandbox& sandbox, const Prepared& prepared) {
  for (const PlacedFile& file : prepared.files) {
    // Directories the sandbox already has (/etc, /etc/korvex, /tmp) keep their own modes.
    if (file.directory && access(file.path.c_str(), F_OK) == 0) continue;
    const auto placed = file.directory ? sandbox.make_directory(file.path, file.mode)
                                       : sandbox.place_file(file.path, file.content, file.mode);
    if (!placed) return placed;
  }
  return sandbox.dns().load_zone(prepared.zone);
}

int status_of(const RunResult& result) {
  if (result.timed_out) return kTimedOutStatus;
  if (result.signal != 0) return kSignalBase + result.signal;
  return result.exit_status;
}

}  // namespace

std::optional<RunnerOptions> parse_runner_arguments(const std::vector<std::string>& arguments,
                                                    std::string* error) {
  RunnerOptions options;
  std::size_t index = 0;
  const auto value = [&](const std::string& option) -> std::optional<std::string> {
    if (index + 1 >= arguments.size()) {
      *error = "option " + option + " needs a value";
      return std::nullopt;
    }
    return arguments[++index];
  };
  for (; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--") {
      ++index;
      break;
    }
    if (argument.empty() || argument[0] != '-') break;
    std::optional<std::string> given;
    if (argument == "-E") {
      options.inherit_environment = true;
      continue;
    }
    if (argument != "-f" && argument != "-z" && argument != "-e" && argument != "-i" &&
        argument != "-t") {
      *error = "unknown option " + argument;
      return std::nullopt;
    }
    given = value(argument);
    if (!given) return std::nullopt;
    if (argument == "-f") options.tree = *given;
    if (argument == "-z") options.zone = *given;
    if (argument == "-i") options.input = *given;
    if (argument == "-e") {
      if (given->find('=') == std::string::npos || given->front() == '=') {
        *error = "-e needs NAME=VALUE, not " + *given;
        return std::nullopt;
      }
      options.env.push_back(*given);
    }
    if (argument == "-t") {
      const auto [end, failure] =
          std::from_chars(given->data(), given->data() + given->size(), options.timeout_seconds);
      if (failure != std::errc() || end != given->data() + given->size() ||
          options.timeout_seconds <= 0) {
        *error = "-t needs a positive number of seconds, not " + *given;
        return std::nullopt;
      }
    }
  }
  options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(index), arguments.end());
  if (options.command.empty()) {
    *error = "no command given";
    return std::nullopt;
  }
  return options;
}

std::optional<std::vector<PlacedFile>> load_tree(const std::string& root, std::string* error) {
  std::vector<PlacedFile> files;
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (!load_below(base, "", &files, error)) return std::nullopt;
  return files;
}

int run_sandboxed(const RunnerOptions& options, std::ostream& out, std::ostream& err) {
  std::string error;
  const auto prepared = prepare(options, &error);
  if (!prepared) {
    err << "korvex-sandbox: " << error << "\n";
    return kRunnerSetupFailure;
  }
  Sandbox::Start start = Sandbox::create();
  if (!start.sandbox) {
    err << "korvex-sandbox: no sandbox: " << start.message << "\n";
    return kRunnerSetupFailure;
  }
  Sandbox& sandbox = *start.sandbox;
  const auto furnished = furnish(sandbox, *prepared);
  if (!furnished) {
    err << "korvex-sandbox: " << furnished.message() << "\n";
    return kRunnerSetupFailure;
  }
  RunOptions run_options;
  run_options.env = environment_of(options);
  run_options.inherit_environment = options.inherit_environment;
  run_options.input = prepared->input;
  run_options.timeout_seconds = options.timeout_seconds;
  std::vector<std::string> argv = options.command;
  argv[0] = resolve_program(argv[0], run_options.env);
  const RunResult result = sandbox.run(argv, run_options);
  out << result.out;
  err << result.err;
  for (const SyslogLine& line : result.syslog) out << "syslog: " << line.describe() << "\n";
  if (!result.error.empty()) {
    err << "korvex-sandbox: " << result.error << "\n";
    return kRunnerSetupFailure;
  }
  if (result.timed_out) err << "korvex-sandbox: timed out after " << options.timeout_seconds << "s\n";
  return status_of(result);
}

}  // namespace korvex::testing
