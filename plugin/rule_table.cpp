// rule_table - the built-in rule table, the engine context with the administrator's
// overrides, the check context and the "-s" rule-set display. See rule_table.h.
#include "plugin/rule_table.h"

#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "lists/list_paths.h"
#include "plugin/checks/checks.h"
#include "plugin/plugin_paths.h"
#include "rules/rule_overrides.h"

namespace korvex {

namespace {

// Display lines are formatted into a buffer of this size; a longer line is cut.
constexpr std::size_t kDisplayLineBuffer = 1024;
constexpr std::size_t kMaxPadding = 1024;
constexpr int kStateColumn = 11;

// Blanks that carry a column of width `column` on from `used` characters; none when the
// text already reaches the column or the gap is implausibly large.
std::string pad(std::size_t used, std::size_t column) {
  if (column <= used || column - used > kMaxPadding) return {};
  try {
    return std::string(column - used, ' ');
  } catch (const std::bad_alloc&) {
    return " ";
  }
}

void write_line(line_writer writer, void* writer_arg, std::string line) {
  if (line.size() > kDisplayLineBuffer - 1) line.resize(kDisplayLineBuffer - 1);
  writer(line.c_str(), writer_arg);
}

std::size_t first_column_width(const EngineContext& context) {
  std::size_t longest = 0;
  if (context.enabled_rules) {
    for (const RuleEntry& rule : *context.enabled_rules) longest = std::max(longest, rule.name.size());
  }
  return 3 + longest;
}

void show_rule_rows(const EngineContext& context, std::size_t width, line_writer writer,
                    void* writer_arg) {
  if (!context.default_rules || !context.enabled_rules) return;
  const RuleTable& defaults = *context.default_rules;
  const RuleTable& current = *context.enabled_rules;
  for (std::size_t i = 0; i < defaults.size() && i < current.size(); ++i) {
    const RuleEntry& rule = defaults[i];
    const std::string default_state = rule_state_name(rule.state);
    const std::string current_state = rule_state_name(current[i].state);
    std::string line = rule.name;
    line += pad(rule.name.size(), width);
    line += default_state;
    line += pad(default_state.size(), kStateColumn);
    line += current_state;
    line += pad(current_state.size(), kStateColumn);
    line += rule.applies_to_mua ? "Yes" : "No";
    write_line(writer, writer_arg, std::move(line));
  }
}

void show_tarn_lists(const EngineContext& context, line_writer writer, void* writer_arg) {
  write_line(writer, writer_arg, "Enabled TARN Lists:");
  write_line(writer, writer_arg, "==================");
  if (context.tarn_lists.empty()) {
    write_line(writer, writer_arg, "No TARN lists enabled.");
    return;
  }
  for (const std::string& name : context.tarn_lists) write_line(writer, writer_arg, name);
}

RuleTable make_builtin_rules() {
  // Each registered rule's check routine has the rule's name.
#define KORVEX_CHECK_OF(name, state, mua, reason, skips) rule_check{name},
  const std::array<rule_check, kRuleRegistry.size()> checks{KORVEX_RULES(KORVEX_CHECK_OF)};
#undef KORVEX_CHECK_OF
  RuleTable rules;
  for (std::size_t i = 0; i < kRuleRegistry.size(); ++i) {
    const rule_descriptor& rule = kRuleRegistry[i];
    rules.push_back({std::string(rule.name), rule.default_state,
                     static_cast<std::uint8_t>(rule.applies_to_mua ? 1 : 0), rule.reason,
                     checks[i], rule.skips_bounces});
  }
  return rules;
}

// A private copy of the built-in table, or nothing (logged) when memory runs out.
std::optional<RuleTable> copy_builtin_rules(log_function logger, const char* failure) {
  try {
    return builtin_rules();
  } catch (const std::bad_alloc&) {
    if (logger != nullptr) logger(LOG_ERR, "%s", failure);
    return std::nullopt;
  }
}

}  // namespace

const char* rule_state_name(RuleState state) {
  switch (state) {
    case RuleState::Disabled:
      return "Disabled";
    case RuleState::Enabled:
      return "Enabled";
    case RuleState::AlwaysOn:
      return "AlwaysOn";
    case RuleState::Report:
      return "Report";
  }
  return "<UNKNOWN>";
}

const char* check_result_name(std::int32_t result) {
  switch (result) {
    case DUNNO:
      return "DUNNO";
    case HIT:
      return "HIT";
    case TEMPFAIL:
      return "TEMPFAIL";
    default:
      return "<UNKNOWN>";
  }
}

const RuleTable& builtin_rules() {
  static const RuleTable rules = make_builtin_rules();
  return rules;
}

CheckContext default_check_context() {
  CheckContext checks;
  checks.tarn_map_dir = kTarnMapDir;
  checks.dsl_regex_filename = kDynamicHostRegexFile;
  checks.reverse_dns_regex_filename = kAbusedHostRegexFile;
  checks.ksf_filename = kForgeryTableFile;
  checks.pattern_index_cache_dir = kPatternIndexCacheDir;
  return checks;
}

EngineContext korvex_init(log_function logger, const std::string& config_dir) {
  EngineContext context;
  context.logger = logger;
  context.checks = default_check_context();
  context.enabled_rules = copy_builtin_rules(
      logger, "korvex_init(): Couldn't allocate space for enabled_rules structure.");
  context.default_rules = copy_builtin_rules(
      logger, "korvex_init(): Couldn't allocate space for disabled_rules structure.");
  apply_overrides(&context, config_dir);
  return context;
}

void apply_overrides(EngineContext* context, const std::string& config_dir) {
  rule_overrides overrides = read_rule_overrides(config_dir);
  context->tarn_lists = std::move(overrides.tarn_lists);
  if (context->enabled_rules) {
    apply_rule_overrides(&*context->enabled_rules, overrides.rules_enabled,
                         overrides.rules_disabled, context->logger, overrides.rules_report);
  }
  context->checks.defer_on_tempfail =
      read_control_flag(control_file_path(config_dir, kDeferOnTempfailFlag).c_str());
}

void apply_rule_overrides(RuleTable* rules, const string_list& rules_enabled,
                          const string_list& rules_disabled, log_function logger,
                          const string_list& rules_report) {
  for (RuleEntry& rule : *rules) {
    rule.state = overridden_state(rule.name, rule.state, rules_enabled, rules_disabled,
                                  rules_report, logger);
  }
}

void korvex_teardown(EngineContext* context) {
  context->enabled_rules.reset();
  context->default_rules.reset();
  string_list_destroy(&context->tarn_lists);
  context->logger = nullptr;
}

void show_rule_set(const EngineContext& context, line_writer writer, void* writer_arg) {
  if (writer == nullptr) return;
  const std::size_t width = first_column_width(context);
  const std::string rule_pad = pad(4, width);
  const std::string state_pad = pad(7, kStateColumn);
  write_line(writer, writer_arg, "Current Ruleset (rules are checked in order listed):");
  write_line(writer, writer_arg, "");
  write_line(writer, writer_arg,
             "RULE" + rule_pad + "DEFAULT" + state_pad + "CURRENT" + state_pad + "MUA->MTA");
  write_line(writer, writer_arg,
             "====" + rule_pad + "=======" + state_pad + "=======" + state_pad + "========");
  show_rule_rows(context, width, writer, writer_arg);
  write_line(writer, writer_arg, "");
  show_tarn_lists(context, writer, writer_arg);
}

int find_char(const char* text, char c) {
  if (text == nullptr || *text == '\0') return -1;
  const char* found = std::strchr(text, c);
  return found != nullptr ? static_cast<int>(found - text) : -1;
}

bool is_full_address(const char* text) {
  const int at = find_char(text, '@');
  if (at <= 0) return false;
  return static_cast<std::size_t>(at) + 1 < std::strlen(text);
}

}  // namespace korvex
