// listmgr_tool - korvex-listmgr, the administrator's tool for the five administrator lists:
// one operation (add, delete or list) on one list per run, chosen by command-line options.
// The file work is the lists module's; this module reads the command line, prints the
// usage, dispatches the operation and lists entries on standard output.
//
// Exports: kListmgrProgram, the operation numbers, ListmgrOptions, listmgr_usage,
// listmgr_parse_options, listmgr_list_entries, listmgr_dispatch, listmgr_run.
#pragma once

#include <cstdio>
#include <string>

#include "support/qv_log.h"

namespace korvex {

// The program's name in the usage text and its syslog identity.
inline constexpr const char* kListmgrProgram = "korvex-listmgr";

// Operation numbers, as they appear in "Error: operation %d returned %d".
inline constexpr int kNoOperation = 0;
inline constexpr int kListOperation = 1;
inline constexpr int kAddOperation = 2;
inline constexpr int kDeleteOperation = 3;

// The parsed command line: the list id (0 when none was chosen), the operation and, for
// add and delete, the entry exactly as given.
struct ListmgrOptions {
  int list_id = 0;
  int operation = kNoOperation;
  std::string entry;
};

// listmgr_usage - print the usage text on stream (standard error after a command-line error).
void listmgr_usage(std::FILE* stream);

// listmgr_parse_options - read the command line into options; false (after printing what
// is wrong and the usage text on standard error) when the program must exit with status 1.
bool listmgr_parse_options(int argc, char* argv[], ListmgrOptions* options);

// listmgr_list_entries - print every entry of the list on standard output: 0, also for a
// list that does not exist; 1 when the list or standard output fails (said on standard
// error and through log); -1 for an unknown list id.
int listmgr_list_entries(log_function log, int list_id, const std::string& base_dir);

// listmgr_dispatch - run the chosen operation on the lists under base_dir and log a
// failure: the operation's result, or 1 (after the FATAL line and the usage text) when
// no operation was chosen.
int listmgr_dispatch(const ListmgrOptions& options, log_function log, const std::string& base_dir);

// listmgr_run - the whole program over the lists under base_dir: once the command line is
// accepted, set the creation mask, open syslog and read the rule set with log as its
// log function, then dispatch. Returns the exit status.
int listmgr_run(int argc, char* argv[], const std::string& base_dir, log_function log);

}  // namespace korvex
