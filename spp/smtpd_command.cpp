// smtpd_command - the command line of korvex-smtpd and the wiring of one session. See
// smtpd_command.h.
#include "spp/smtpd_command.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "spp/plugin_config.h"
#include "spp/smtp_session.h"

namespace korvex {

namespace {

constexpr const char* kUsage =
    "usage: korvex-smtpd -m maildir [-p plugin-config] [-a credentials] [-h hostname] "
    "[-t plugin-seconds]\n";

// log_to_stderr - one log line, written with one call so lines of concurrent sessions
// sharing the super-server's log do not interleave.
void log_to_stderr(const std::string& line) {
  const std::string text = line + "\n";
  (void)!write(STDERR_FILENO, text.data(), text.size());  // nowhere left to report a loss
}

std::string machine_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

bool parse_seconds(const char* text, int* seconds) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400) return false;
  *seconds = static_cast<int>(value);
  return true;
}

// build_config - everything the session needs; false with *error when a file is bad.
bool build_config(const smtpd_options& options, char** environment, session_config* config,
                  std::string* error) {
  config->hostname = options.hostname.value_or(machine_name());
  config->maildir = options.maildir;
  if (options.plugin_timeout_seconds > 0) {
    config->plugin_timeout_seconds = options.plugin_timeout_seconds;
  }
  for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    config->environment.emplace_back(*entry);
  }
  config->log = log_to_stderr;
  if (options.plugin_config) {
    plugin_config plugins;
    if (!load_plugin_config(*options.plugin_config, &plugins, error)) return false;
    config->rcpt_plugins = std::move(plugins.rcpt);
  }
  return !options.credentials_file ||
         load_credentials(*options.credentials_file, &config->accounts, error);
}

}  // namespace

bool parse_smtpd_options(int argc, char* argv[], smtpd_options* options, std::string* error) {
  optind = 1;
  opterr = 0;
  int option;
  while ((option = getopt(argc, argv, ":m:p:a:h:t:")) != -1) {
    switch (option) {
      case 'm':
        options->maildir = optarg;
        break;
      case 'p':
        options->plugin_config = optarg;
        break;
      case 'a':
        options->credentials_file = optarg;
        break;
      case 'h':
        options->hostname = optarg;
        break;
      case 't':
        if (!parse_seconds(optarg, &options->plugin_timeout_seconds)) {
          *error = std::string("bad plugin time limit: ") + optarg;
          return false;
        }
        break;
      case ':':
        *error = std::string("option -") + static_cast<char>(optopt) + " needs a value";
        return false;
      default:
        *error = std::string("unknown option -") + static_cast<char>(optopt);
        return false;
    }
  }
  if (optind < argc) {
    *error = std::string("unexpected argument: ") + argv[optind];
    return false;
  }
  if (options->maildir.empty()) {
    *error = "a Maildir (-m) is required";
    return false;
  }
  return true;
}

int smtpd_main(int argc, char* argv[], char** environment) {
  smtpd_options options;
  std::string error;
  if (!parse_smtpd_options(argc, argv, &options, &error)) {
    log_to_stderr("korvex-smtpd: " + error);
    (void)!write(STDERR_FILENO, kUsage, strlen(kUsage));
    return 1;
  }
  // A client that goes away mid-reply must end the session through a failed write, not
  // kill the process before it has cleaned up after its plugins.
  if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    log_to_stderr(std::string("korvex-smtpd: cannot ignore SIGPIPE: ") + strerror(errno));
    return 1;
  }
  session_config config;
  if (!build_config(options, environment, &config, &error)) {
    log_to_stderr("korvex-smtpd: " + error);
    const std::string refusal = "421 4.3.0 " + config.hostname + " service not available\r\n";
    (void)!write(STDOUT_FILENO, refusal.data(), refusal.size());  // the client may be gone
    return 1;
  }
  const session_end end = run_smtp_session(config, STDIN_FILENO, STDOUT_FILENO);
  return end == session_end::quit || end == session_end::client_gone ? 0 : 1;
}

}  // namespace korvex
