// plesk_entry - the run of korvex-plesk from start to exit: crash handling with a
// per-process core directory, syslog and the control flags, the command line, the
// "-s" report, and one checked SMTP command for qmail-spp.
//
// Exports: PleskOptions, parse_plesk_options, print_plesk_usage, core_directory,
// install_crash_handler, set_crash_core_dump, print_control_report, plesk_main.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "plugin/rule_table.h"

namespace korvex {

// What the command line asked for.
struct PleskOptions {
  bool show_config = false;
  bool bad_option = false;
};

// parse_plesk_options - read -s and -t; each unknown letter is reported on err.
PleskOptions parse_plesk_options(int argc, char* argv[], std::FILE* err);

// print_plesk_usage - the usage text.
void print_plesk_usage(std::FILE* err);

// core_directory - the template with its last five characters replaced by the process id
// as "%05d" (at most five digits are kept).
std::string core_directory(const char* path_template, pid_t pid);

// install_crash_handler - lift the core-file limit; on SIGSEGV log, and when core dumps are
// on move into core_dir and abort there; otherwise exit 1.
void install_crash_handler(const std::string& core_dir);

// set_crash_core_dump - whether a crash leaves a core file in the core directory.
void set_crash_core_dump(bool dump_core);

// print_control_report - the "-s" report: control flags, then the rule set.
void print_control_report(std::FILE* err, bool debug, bool dump_core,
                          const EngineContext& context);

// plesk_main - the whole program; returns its exit status.
int plesk_main(int argc, char* argv[]);

}  // namespace korvex
