// plugin_runner - runs one plugin for a recipient and reads its answer.
//
// A plugin is a program started with no arguments and the environment it is given. It
// answers on its standard output, one command per line, the first character naming it:
//   P<text>  send <text> to the client as one reply line and read on;
//   E<text>  send <text> as the last reply line and refuse the recipient; later output
//            is not read;
// anything else is ignored, and no answer at all accepts the recipient. The plugin reads
// nothing (its standard input is /dev/null, so it can never swallow the client's input),
// its standard error is ours, and it gets no other descriptor. A plugin that cannot be
// started, is killed by a signal, exits with a non-zero status, runs past its time or
// floods its output has failed; a failed plugin never refuses.
//
// Exports: plugin_outcome, plugin_answer, parse_plugin_answer, plugin_result, run_plugin,
// kPluginTimeoutSeconds, kMaxPluginOutput.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// Time a plugin gets before it is killed, unless the caller chooses another.
inline constexpr int kPluginTimeoutSeconds = 60;
// More output than this is no answer but a runaway plugin.
inline constexpr std::size_t kMaxPluginOutput = 65536;

enum class plugin_outcome { accepted, refused, failed };

// What a plugin's output says: the reply lines in order (the refusing line last).
struct plugin_answer {
  std::vector<std::string> reply;
  bool refused = false;
};

// parse_plugin_answer - interpret a plugin's standard output.
plugin_answer parse_plugin_answer(std::string_view output);

struct plugin_result {
  plugin_outcome outcome = plugin_outcome::failed;
  std::vector<std::string> reply;  // lines for the client; empty when failed
  std::string failure;             // why it failed
};

// run_plugin - run the program at path with exactly the given "NAME=value" environment,
// wait for it and return its answer.
plugin_result run_plugin(const std::string& path, const std::vector<std::string>& environment,
                         int timeout_seconds);

}  // namespace korvex
