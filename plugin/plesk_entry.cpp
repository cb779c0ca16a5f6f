// plesk_entry - korvex-plesk's entry sequence. qmail-spp starts the program with no
// arguments for each RCPT TO; the program reads the session from the environment, runs
// the engine, which answers on standard output, and exits 0 whatever the verdict. An
// administrator's "-s" shows the control flags and rule set instead. See plesk_entry.h.
#include "plugin/plesk_entry.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "lists/list_paths.h"
#include "plugin/engine.h"
#include "plugin/load_spp_env.h"
#include "plugin/plugin_paths.h"
#include "support/crash_trap.h"
#include "support/ip_address.h"

namespace korvex {

namespace {

void say_segfault() { syslog(LOG_ERR, "internal error, segfault"); }

void end_without_core(bool wanted) {
  if (wanted) syslog(LOG_ERR, "unable to make dir for core dump");
  closelog();
}

void write_to_stream(const char* line, void* stream) {
  (void)std::fprintf(static_cast<std::FILE*>(stream), "%s\n", line);
}

int check_session(const EngineContext& context) {
  SessionState state = empty_state;
  state.protocol_state = ProtocolState::RCPT;
  const int loaded = load_spp_env(&state);
  if (loaded != 0) {
    syslog(LOG_ERR, "Error: Unable to load SPP variables from environment.  Return code: %d",
           loaded);
    return 1;
  }
  // Some front ends write an IPv4 peer as an IPv4-mapped IPv6 address. Every rule, list,
  // map and log line judges the IPv4 address, so the session carries it in that form.
  if (state.ip) {
    if (std::optional<std::string> ipv4 = unmapped_ipv4(*state.ip)) state.ip = std::move(ipv4);
  }
  detect_mua(&state, ::syslog);
  dump_state(::syslog, LOG_DEBUG, state, 0);
  (void)run_and_report(context, state, EngineSetup{}, nullptr);
  release_state(&state);
  return 0;
}

}  // namespace

PleskOptions parse_plesk_options(int argc, char* argv[], std::FILE* err) {
  PleskOptions options;
  opterr = 0;
  int option = 0;
  while ((option = ::getopt(argc, argv, ":st")) != -1) {
    if (option == 's') {
      options.show_config = true;
    } else if (option != 't') {
      (void)std::fprintf(err, "Unrecognized option: -%c\n", optopt);
      options.bad_option = true;
    }
  }
  return options;
}

void print_plesk_usage(std::FILE* err) {
  (void)std::fprintf(err, "Usage: %s [options]\n\n", kPleskIdentity);
  (void)std::fputs("   -s      Show config and exit.\n", err);
  (void)std::fputs(
      "\nNOTE: korvex-plesk is generally meant to be run by qmail-spp with no arguments.\n", err);
}

std::string core_directory(const char* path_template, pid_t pid) {
  std::string path = path_template;
  if (path.size() <= 5) return path;
  char digits[6] = {};
  (void)std::snprintf(digits, sizeof digits, "%05d", static_cast<int>(pid));
  path.replace(path.size() - 5, std::strlen(digits), digits);
  return path;
}

void install_crash_handler(const std::string& core_dir) {
  crash_trap_plan plan;
  plan.core_dir = core_dir;
  plan.dir_mode = 0700;
  plan.abort_unmoved = false;
  plan.last_words = say_segfault;
  plan.unmoved = end_without_core;
  plan.dump = false;  // until the control flag says otherwise
  // Without the handler a crash still ends the run; there is nothing better to fall back on.
  (void)install_crash_trap(plan);
}

void set_crash_core_dump(bool dump_core) { set_crash_dump(dump_core); }

void print_control_report(std::FILE* err, bool debug, bool dump_core,
                          const EngineContext& context) {
  (void)std::fputs("Control files:\n", err);
  (void)std::fputs("==============\n", err);
  (void)std::fprintf(err, " - Logging to mail.debug is %senabled.\n", debug ? "" : "NOT ");
  (void)std::fprintf(err, " - Core dumps (in /var/cores/korvex) are %senabled.\n\n",
                     dump_core ? "" : "NOT ");
  show_rule_set(context, write_to_stream, err);
}

int plesk_main(int argc, char* argv[]) {
  const std::string core_dir = core_directory(kCoreDirTemplate, ::getpid());
  install_crash_handler(core_dir);
  openlog(kPleskIdentity, LOG_PID, LOG_MAIL);
  const bool debug = read_control_flag(kDebugFlagFile);
  const bool dump_core = read_control_flag(kDumpCoreFlagFile);
  set_crash_core_dump(dump_core);
  if (!debug) (void)setlogmask(LOG_UPTO(LOG_INFO));

  const PleskOptions options = parse_plesk_options(argc, argv, stderr);
  if (options.bad_option) {
    print_plesk_usage(stderr);
    closelog();
    return 1;
  }
  EngineContext context = korvex_init(::syslog, kListDirectory);
  int status = 0;
  if (options.show_config) {
    print_control_report(stderr, debug, dump_core, context);
  } else {
    status = check_session(context);
  }
  korvex_teardown(&context);
  closelog();
  return status;
}

}  // namespace korvex
