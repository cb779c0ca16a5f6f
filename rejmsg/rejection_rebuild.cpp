// rejection_rebuild - rebuild of the rejection message cache from the persistent
// directory. See rejection_rebuild.h.
#include "rejmsg/rejection_rebuild.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "rejmsg/rejection_cache.h"
#include "rules/rule_registry.h"
#include "rejmsg/rejmsg_print.h"

namespace korvex {

namespace {

struct file_closer {
  void operator()(std::FILE* file) const {
    // Only read from; a failed close loses nothing.
    (void)std::fclose(file);
  }
};
using file_holder = std::unique_ptr<std::FILE, file_closer>;

// Symbolic links are followed: a link to a message file counts as the file.
bool is_regular_file(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

enum class line_read { read, cannot_open, read_error };

// read_first_line - the file's first line, newline included, cut after the line limit.
line_read read_first_line(const std::string& path, std::string* line) {
  const file_holder file(std::fopen(path.c_str(), "re"));
  if (!file) return line_read::cannot_open;
  line->clear();
  while (line->size() < kRejectionFileLineLimit) {
    const int c = std::getc(file.get());
    if (c == EOF) break;
    line->push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return std::ferror(file.get()) != 0 ? line_read::read_error : line_read::read;
}

// rebuild_rule - make one rule's cached message agree with its file; false stops the
// rebuild.
bool rebuild_rule(const std::string& directory, const rule_descriptor& rule) {
  const std::string path = rejection_file_path(directory, std::string(rule.name));
  if (!is_regular_file(path)) {
    rejection_cache_store(rule.reason, std::nullopt);
    return true;
  }
  std::string line;
  switch (read_first_line(path, &line)) {
    case line_read::cannot_open:
      rejmsg_error("Error opening file %s\n", path.c_str());
      return false;
    case line_read::read_error:
      rejmsg_error("Error reading file %s\n", path.c_str());
      return false;
    case line_read::read:
      break;
  }
  if (line.empty()) {
    // An empty file means "no custom message"; the cache is cleared below either way, so
    // a file that cannot be deleted is only left for the next rebuild.
    (void)unlink(path.c_str());
  }
  // A store that fails leaves the rule on its default text; the other rules still go on.
  rejection_cache_store(rule.reason, line);
  return true;
}

}  // namespace

std::optional<std::string> rejection_file_message(int reason, const std::string& directory,
                                                  std::string* path) {
  for (const rule_descriptor& rule : kRuleRegistry) {
    if (rule.reason != reason) continue;
    *path = rejection_file_path(directory, std::string(rule.name));
    std::string line;
    if (!is_regular_file(*path) || read_first_line(*path, &line) != line_read::read) break;
    // As the cache hands it out: up to the first NUL.
    line.resize(std::strlen(line.c_str()));
    if (line.empty()) break;
    return line;
  }
  return std::nullopt;
}

std::string rejection_file_path(const std::string& directory, const std::string& rule_name) {
  return directory + "/" + rule_name;
}

bool rejection_directory_exists(const std::string& directory) {
  struct stat info {};
  if (stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  rejmsg_error("Fatal error: persistent storage path %s does not exist!\n", directory.c_str());
  return false;
}

int rejection_cache_rebuild(const std::string& directory) {
  if (!rejection_directory_exists(directory)) return -1;
  for (const rule_descriptor& rule : kRuleRegistry) {
    if (!rebuild_rule(directory, rule)) return -1;
  }
  return 0;
}

}  // namespace korvex
