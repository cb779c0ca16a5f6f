// plugin_config - which plugins korvex-smtpd runs at which stage. See plugin_config.h.
#include "spp/plugin_config.h"

#include "spp/text_file.h"

namespace korvex {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

bool parse_plugin_config(std::string_view text, plugin_config* config, std::string* error) {
  config->rcpt.clear();
  bool in_rcpt = false;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line != "[rcpt]") {
        *error = where + "unknown section " + std::string(line) + " (only [rcpt] is known)";
        return false;
      }
      in_rcpt = true;
      continue;
    }
    if (!in_rcpt) {
      *error = where + "plugin outside a section: " + std::string(line);
      return false;
    }
    if (line.front() != '/') {
      *error = where + "plugin path must be absolute: " + std::string(line);
      return false;
    }
    config->rcpt.emplace_back(line);
  }
  return true;
}

bool load_plugin_config(const std::string& path, plugin_config* config, std::string* error) {
  std::string text;
  if (!read_text_file(path, &text, error)) return false;
  if (parse_plugin_config(text, config, error)) return true;
  *error = path + ": " + *error;
  return false;
}

}  // namespace korvex
