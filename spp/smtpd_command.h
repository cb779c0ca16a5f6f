// smtpd_command - the command line of korvex-smtpd and the wiring of one session.
//
//   korvex-smtpd -m maildir [-p plugin-config] [-a credentials] [-h hostname]
//                [-t plugin-seconds]
//
// The program is started per connection by a super-server such as tcpserver, with the
// client on standard input and output; its log lines go to standard error. Without -p no
// plugin runs; without -a no AUTH can succeed; -h defaults to the machine's host name.
//
// Exports: smtpd_options, parse_smtpd_options, smtpd_main.
#pragma once

#include <optional>
#include <string>

namespace korvex {

struct smtpd_options {
  std::string maildir;
  std::optional<std::string> plugin_config;
  std::optional<std::string> credentials_file;
  std::optional<std::string> hostname;
  int plugin_timeout_seconds = 0;  // 0: the default
};

// parse_smtpd_options - read the command line; false with *error saying what is wrong.
bool parse_smtpd_options(int argc, char* argv[], smtpd_options* options, std::string* error);

// smtpd_main - run korvex-smtpd: one SMTP session on descriptors 0 and 1, logging to 2,
// with the given environment handed on to the plugins. Returns the exit status.
int smtpd_main(int argc, char* argv[], char** environment);

}  // namespace korvex
