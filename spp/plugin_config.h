// plugin_config - which plugins korvex-smtpd runs at which SMTP stage.
//
// The file is line oriented. A line "[rcpt]" starts the list of plugins run at each
// RCPT TO; every following line names one plugin program by its absolute path, and the
// plugins run in the order listed. Blank lines and lines starting with "#" are skipped;
// white space around a line is ignored. "rcpt" is the only stage this front end has, so
// any other section, a plugin before the first section or a relative path is an error:
// a plugin that silently never runs would make a test or a demonstration lie.
//
//   # stand-in plugins for the demo
//   [rcpt]
//   /usr/local/libexec/korvex-plesk
//
// Exports: plugin_config, load_plugin_config, parse_plugin_config.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvex {

struct plugin_config {
  std::vector<std::string> rcpt;  // plugin paths run at RCPT TO, in order
};

// parse_plugin_config - read the text of a configuration; false with *error naming the
// line when it is malformed.
bool parse_plugin_config(std::string_view text, plugin_config* config, std::string* error);

// load_plugin_config - read and parse the file at path; errors name the file.
bool load_plugin_config(const std::string& path, plugin_config* config, std::string* error);

}  // namespace korvex
