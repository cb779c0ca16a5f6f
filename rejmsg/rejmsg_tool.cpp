// rejmsg_tool - command line, validation and operations of korvex-rejmsg. See
// rejmsg_tool.h.
#include "rejmsg/rejmsg_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "rejmsg/rejection_cache.h"
#include "rejmsg/rejection_rebuild.h"
#include "rules/rule_registry.h"
#include "rejmsg/rejmsg_print.h"
#include "support/file_io.h"

namespace korvex {

namespace {

constexpr const char* kUsageLines[] = {
    "\t-n <rule_name>",
    "\t-m <message_to_set>",
    "\t-a (add the message)",
    "\t-r (remove the rule message)",
    "\t-i (initialize the cache from file set)",
};

// replace_content - cut the locked file at its current position (its start) and write the
// message in its place.
bool replace_content(int fd, const std::string& message) {
  const off_t position = lseek(fd, 0, SEEK_CUR);
  if (position == -1 || ftruncate(fd, position) == -1) return false;
  return write_all(fd, message);
}

// forget_rule - delete the rule's file (a missing one is fine), then its cached message.
int forget_rule(const RejmsgOptions& options, const std::string& path) {
  if (unlink(path.c_str()) == -1 && errno != ENOENT) {
    // The file would bring the message back at the next rebuild.
    rejmsg_error("error removing control file [%s]\n", path.c_str());
    return kRejmsgFailed;
  }
  if (!rejection_cache_store(options.reason, std::nullopt)) {
    rejmsg_error("error removing message from live cache\n");
    return kRejmsgCacheFailed;
  }
  return kRejmsgOk;
}

bool is_add_or_remove(RejmsgOperation operation) {
  return operation == RejmsgOperation::ADD || operation == RejmsgOperation::REMOVE;
}

bool has_rule_name(const RejmsgOptions& options) {
  return options.rule_name && !options.rule_name->empty();
}

// look_up_rule - fill in the ReasonId of the named rule; a missing persistent directory
// makes every name unknown.
void look_up_rule(RejmsgOptions* options, const std::string& directory) {
  if (!is_add_or_remove(options->operation) || !has_rule_name(*options)) return;
  if (!rejection_directory_exists(directory)) return;
  options->reason = static_cast<std::uint8_t>(rule_reason(*options->rule_name));
}

int run_operation(const RejmsgOptions& options, const std::string& directory) {
  switch (options.operation) {
    case RejmsgOperation::ADD:
      return rejmsg_add(options, directory);
    case RejmsgOperation::REMOVE:
      return rejmsg_remove(options, directory);
    case RejmsgOperation::INIT:
      return rejection_cache_rebuild(directory);
    case RejmsgOperation::NONE:
      break;
  }
  return kRejmsgUsage;
}

}  // namespace

void rejmsg_usage(std::FILE* stream, const char* program) {
  // The usage text is the last thing the tool says; a failed print changes nothing.
  (void)std::fprintf(stream, "%s\n", "======================================================\n");
  (void)std::fprintf(stream, "Usage: %s [options]\n", program);
  for (const char* line : kUsageLines) (void)std::fprintf(stream, "%s\n", line);
}

bool rejmsg_parse_options(int argc, char* argv[], RejmsgOptions* options) {
  optind = 0;  // a full rescan, so the parser can run more than once per process
  int option;
  while ((option = getopt(argc, argv, "n:m:ari")) != -1) {
    switch (option) {
      case 'n':
        if (options->rule_name) return false;
        options->rule_name = optarg;
        break;
      case 'm':
        if (options->message) return false;
        options->message = optarg;
        break;
      case 'a':
      case 'r':
      case 'i':
        if (options->operation != RejmsgOperation::NONE) return false;
        options->operation = option == 'a'   ? RejmsgOperation::ADD
                             : option == 'r' ? RejmsgOperation::REMOVE
                                             : RejmsgOperation::INIT;
        break;
      default:  // getopt has already reported the unknown option
        break;
    }
  }
  return true;
}

bool rejmsg_validate(const RejmsgOptions& options) {
  if (options.operation == RejmsgOperation::NONE) {
    rejmsg_error("Unknown operation\n");
    return false;
  }
  if (is_add_or_remove(options.operation) && !has_rule_name(options)) {
    rejmsg_error("Add or Remove must specify the rule name\n");
    return false;
  }
  if (options.operation == RejmsgOperation::ADD && !options.message) {
    rejmsg_error("Add operation must specify the message flag\n");
    return false;
  }
  if (options.operation == RejmsgOperation::INIT || options.reason != 0) return true;
  rejmsg_error("unknown rule [%s]\n", options.rule_name->c_str());
  return false;
}

int rejmsg_add(const RejmsgOptions& options, const std::string& directory) {
  const std::string path = rejection_file_path(directory, *options.rule_name);
  if (options.message->empty()) return forget_rule(options, path);
  // Not truncated on open: a concurrent writer's content goes only once the lock is ours.
  unique_fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!file.valid() || !lock_whole_file(file.get(), lock_kind::record_write_wait)) {
    rejmsg_error("error opening control file [%s] for writing\n", path.c_str());
    return kRejmsgFailed;
  }
  // A failed close may mean the bytes never reached the file.
  if (!replace_content(file.get(), *options.message) || !file.close_checked()) {
    rejmsg_error("error writing data to control file\n");
    return kRejmsgFailed;
  }
  if (!rejection_cache_store(options.reason, options.message)) {
    rejmsg_error("error adding message to live cache\n");
    return kRejmsgCacheFailed;
  }
  return kRejmsgOk;
}

int rejmsg_remove(const RejmsgOptions& options, const std::string& directory) {
  return forget_rule(options, rejection_file_path(directory, *options.rule_name));
}

int rejmsg_run(int argc, char* argv[], const std::string& directory) {
  const char* program = argc > 0 ? argv[0] : "korvex-rejmsg";
  if (argc <= 1) {
    rejmsg_usage(stdout, program);
    return kRejmsgUsage;
  }
  RejmsgOptions options;
  if (!rejmsg_parse_options(argc, argv, &options)) {
    rejmsg_usage(stdout, program);
    return kRejmsgUsage;
  }
  look_up_rule(&options, directory);
  if (!rejmsg_validate(options)) {
    rejmsg_usage(stdout, program);
    return kRejmsgUsage;
  }
  return run_operation(options, directory);
}

}  // namespace korvex
