// control_files - reading, replacing and clearing the control files. See control_files.h.
#include "lists/control_files.h"

#include <syslog.h>
#include <unistd.h>

#include <new>

#include "lists/list_paths.h"
#include "lists/list_reader.h"
#include "support/file_io.h"

namespace korvex {

namespace {

string_list read_control_file(const std::string& path) {
  string_list names;
  // Cannot fail: a destination is given.
  (void)read_list_file(path, &names);
  return names;
}

// A temporary name of this process's own, so concurrent writers never share one.
bool install_content(const std::string& path, const std::string& content) {
  replace_options options;
  options.temporary = path + ".tmp." + std::to_string(getpid());
  return static_cast<bool>(replace_file(path, content, 0666, options));
}

// Writes each text and a line feed, in list order: 0, or 1 when the file cannot be written.
int write_control_file(const std::string& path, const string_list& names) {
  try {
    std::string content;
    for (const std::string& name : names) content.append(name).push_back('\n');
    return install_content(path, content) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

int remove_control_file(const std::string& path) {
  // The result is the same whether or not the file existed.
  (void)unlink(path.c_str());
  return 0;
}

void warn_tarn_id(log_function log, int list_id) {
  if (log != nullptr) {
    log(LOG_WARNING, "Warning: populate_list() called with unknown list id [%d]", list_id);
  }
}

}  // namespace

int read_list_file(const std::string& path, string_list* destination) {
  if (destination == nullptr) return -1;
  const auto insert = [destination](const std::string& entry) {
    // A name that cannot be stored for want of memory is left out; the rest still count.
    if (!entry.empty()) (void)string_list_insert(destination, entry, kStringListOrdered);
    return 0;
  };
  (void)read_list_path(path, insert, nullptr);
  return 0;
}

string_list read_rules_enabled(const std::string& base_dir) {
  return read_control_file(control_file_path(base_dir, kRulesEnabledFile));
}

string_list read_rules_disabled(const std::string& base_dir) {
  return read_control_file(control_file_path(base_dir, kRulesDisabledFile));
}

string_list read_rules_report(const std::string& base_dir) {
  return read_control_file(control_file_path(base_dir, kRulesReportFile));
}

int write_rules_enabled(const string_list& rules, const std::string& base_dir) {
  return write_control_file(control_file_path(base_dir, kRulesEnabledFile), rules);
}

int write_rules_disabled(const string_list& rules, const std::string& base_dir) {
  return write_control_file(control_file_path(base_dir, kRulesDisabledFile), rules);
}

int clear_rules_enabled(const std::string& base_dir) {
  return remove_control_file(control_file_path(base_dir, kRulesEnabledFile));
}

int clear_rules_disabled(const std::string& base_dir) {
  return remove_control_file(control_file_path(base_dir, kRulesDisabledFile));
}

std::optional<string_list> read_tarn_list(int list_id, const std::string& base_dir) {
  const std::optional<std::string> path = tarn_file_path(base_dir, list_id);
  if (!path) return std::nullopt;
  return read_control_file(*path);
}

int populate_list(log_function log, int list_id, const string_list& names,
                  const std::string& base_dir) {
  const std::optional<std::string> path = tarn_file_path(base_dir, list_id);
  if (!path) {
    warn_tarn_id(log, list_id);
    return -1;
  }
  return write_control_file(*path, names);
}

int clear_tarn_list(log_function log, int list_id, const std::string& base_dir) {
  const std::optional<std::string> path = tarn_file_path(base_dir, list_id);
  if (!path) {
    warn_tarn_id(log, list_id);
    return -1;
  }
  return remove_control_file(*path);
}

}  // namespace korvex
