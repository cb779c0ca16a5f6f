// control_checks - the plugin's own files: control flags, rule overrides, TARN maps,
// pattern lists and IP lists, each judged by the routine the plugin reads it with.
//
// Exports: check_control_flags, check_rule_overrides, check_tarn_maps, check_pattern_lists,
// check_ip_lists (see installation_check.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check/entry_lines.h"
#include "check/installation_check.h"
#include "check/nearest_name.h"
#include "lists/control_files.h"
#include "lists/list_match.h"
#include "lists/list_paths.h"
#include "patterns/pattern_index.h"
#include "patterns/pattern_index_finder.h"
#include "tarn/tarn_map.h"
#include "plugin/load_spp_env.h"
#include "plugin/plugin_paths.h"
#include "plugin/rule_table.h"
#include "rules/rule_overrides.h"
#include "rules/rule_registry.h"
#include "support/unique_fd.h"

namespace korvex {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }  // read only
};

// The words besides "true" and "1" that plainly mean off.
bool plainly_off(const char* value) {
  return value[0] == '\0' || ::strcasecmp(value, "false") == 0 || std::strcmp(value, "0") == 0;
}

void check_flag(const char* path, check_report* report) {
  if (read_control_flag(path)) return;
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) return;  // no file: off, as meant
  char line[1024] = {};
  if (std::fgets(line, sizeof line, file.get()) == nullptr) return;
  std::size_t length = std::strlen(line);
  while (length > 0 && std::strchr(" \t\r\n\v\f", line[length - 1]) != nullptr) {
    line[--length] = '\0';
  }
  if (plainly_off(line)) return;
  report->add(path, shown_entry(line) + " is not understood and reads as off",
              "write true or false");
}

std::vector<std::string> rule_names() {
  std::vector<std::string> names;
  names.reserve(kRuleRegistry.size());
  for (const rule_descriptor& rule : kRuleRegistry) names.emplace_back(rule.name);
  return names;
}

void check_rule_file(const char* file_name, check_report* report) {
  const std::vector<std::string> names = rule_names();
  const std::string path = control_file_path(kListDirectory, file_name);
  for_each_entry(path, [&](int line, const std::string& entry) {
    for (const std::string& name : names) {
      if (entry == name) return;
    }
    const std::optional<std::string> nearest = nearest_name(entry, names);
    report->add(numbered(path, line), "unknown rule " + shown_entry(entry) + " is ignored",
                nearest ? "did you mean " + *nearest + "?" : "korvex-plesk -s lists the rules");
  });
}

// Whether every lookup in the open map gives an answer, as the plugin's lookups see it:
// every /16 is asked once, a /8 whose root word decides it only once.
bool well_formed_map(int descriptor) {
  for (std::uint32_t a = 0; a < 256; ++a) {
    unsigned char word[4] = {};
    if (::pread(descriptor, word, sizeof word, static_cast<off_t>(a) * 4) != 4) return false;
    const bool decided = (word[0] == 0 && word[1] == 0 && word[2] == 0 && word[3] == 0) ||
                         (word[0] == 0xFF && word[1] == 0xFF && word[2] == 0xFF && word[3] == 0xFF);
    for (std::uint32_t b = 0; b < (decided ? 1U : 256U); ++b) {
      // A corrupt map is this report's business, not the mail log's: no log function.
      if (lookupMap(nullptr, descriptor, htonl(a << 24 | b << 16)) == -1) return false;
    }
  }
  return true;
}

// What keeps the plugin from reading the map at path; empty when nothing does.
std::string map_problem(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? "missing"
                           : std::string("cannot be read (") + std::strerror(errno) + ")";
  }
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const unique_fd map(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!map.valid()) return std::string("cannot be read (") + std::strerror(errno) + ")";
  return well_formed_map(map.get()) ? "" : "not a well-formed TARN map";
}

struct pattern_list {
  const char* path;
  const char* rule;
  const char* without_it;  // what the rule does when the list is missing
};

bool rule_is_on(const std::vector<RuleState>& states, std::string_view name) {
  for (std::size_t i = 0; i < kRuleRegistry.size() && i < states.size(); ++i) {
    if (kRuleRegistry[i].name == name) return states[i] != RuleState::Disabled;
  }
  return false;
}

bool index_fits(const std::string& index_path, const struct stat& status,
                std::string_view content) {
  pattern_index_view view;
  return view.open_file(index_path) &&
         (same_file(view.identity(), status) || same_content(view.identity(), content));
}

void check_pattern_list(const pattern_list& list, check_report* report) {
  const std::string fetch = "run korvex-update, which fetches it with regexpull";
  const unique_fd fd(::open(list.path, O_RDONLY | O_CLOEXEC));
  std::string content;
  struct stat status {};
  if (!fd.valid() && errno == ENOENT) {
    report->add(list.path, std::string("missing, so the rule ") + list.rule + " " + list.without_it,
                fetch);
    return;
  }
  if (!fd.valid() || !read_pattern_list(fd.get(), &content, &status)) {
    report->add(list.path, std::string("cannot be read (") + std::strerror(errno) + ")", fetch);
    return;
  }
  const std::string beside = pattern_index_path(list.path);
  const std::string cached = cached_index_path(kPatternIndexCacheDir, list.path);
  if (index_fits(beside, status, content) || index_fits(cached, status, content)) return;
  report->add(list.path, "no index fits it, neither " + beside + " nor " + cached,
              std::string("run korvex-regex-index ") + list.path);
}

const char* listmgr_option(int list_id) { return list_id == kExemptIpsList ? "-i" : "-b"; }

}  // namespace

void check_control_flags(check_report* report) {
  check_flag(kDebugFlagFile, report);
  check_flag(kDumpCoreFlagFile, report);
  check_flag(control_file_path(kListDirectory, kDeferOnTempfailFlag).c_str(), report);
}

void check_rule_overrides(check_report* report) {
  check_rule_file(kRulesEnabledFile, report);
  check_rule_file(kRulesDisabledFile, report);
  check_rule_file(kRulesReportFile, report);
}

void check_tarn_maps(check_report* report) {
  const std::optional<string_list> names = read_tarn_list(kTarnEnabledList, kListDirectory);
  if (!names) return;
  const std::string tarn_enabled = *tarn_file_path(kListDirectory, kTarnEnabledList);
  std::set<std::string> seen;
  for (const std::string& name : *names) {
    if (!seen.insert(name).second) continue;
    const std::string path = std::string(kTarnMapDir) + "/" + name;
    const std::string problem = map_problem(path);
    if (problem.empty()) continue;
    report->add(path, problem + ", so the enabled TARN list " + shown_entry(name) + " lists nobody",
                "fetch it with tarn_update or take it out of " + tarn_enabled);
  }
}

void check_pattern_lists(check_report* report) {
  const std::vector<RuleState> rules =
      configured_rule_states(read_rule_overrides(kListDirectory), nullptr);
  const pattern_list lists[] = {
      {kDynamicHostRegexFile, "check_dynamic_reverse_dns", "has only its built-in pattern"},
      {kAbusedHostRegexFile, "check_reverse_dns_list", "passes every host"},
  };
  for (const pattern_list& list : lists) {
    if (rule_is_on(rules, list.rule)) check_pattern_list(list, report);
  }
}

void check_ip_lists(check_report* report) {
  for (const int list_id : {kExemptIpsList, kBlockedIpsList}) {
    const std::string path = *list_file_path(kListDirectory, list_id);
    const std::string option = listmgr_option(list_id);
    std::string remedy = "replace it by the addresses it is meant for (korvex-listmgr ";
    remedy.append(option).append(" -d, then ").append(option).append(" -a)");
    for_each_entry(path, [&](int line, const std::string& entry) {
      if (ip_entry_can_match(entry)) return;
      report->add(numbered(path, line), shown_entry(entry) + " can never match a peer's address",
                  remedy);
    });
  }
}

}  // namespace korvex
