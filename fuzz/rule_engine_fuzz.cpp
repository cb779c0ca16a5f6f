// Fuzz target: the check engine with the built-in rule table, every rule switched on, fed
// arbitrary session values. Input: two switch bytes, then the peer address, the peer's
// host name (TCPREMOTEHOST), HELO, MAIL FROM, RCPT TO, the AUTH user and the name the
// reverse lookup answers, each ended by a NUL.
//   byte 0: bits 0-5 whether each of the six session values is present; bit 6 RELAYCLIENT.
//   byte 1: bits 0-1 what the reverse lookup says (name, no name, try again, failure);
//           bits 2-3 and 4-5 the A and MX answers of the forward lookups; bits 6-7 the
//           known reverse-DNS state.
// No DNS is asked: the checks' resolver hooks answer from the input. The configuration
// (control files, administrator lists, TARN maps, pattern lists, forgery table, log
// directory) lives in a private directory made at start.
//
// Checked: a record always comes back; its verdict is one of the five the engine gives and
// agrees with the refusal flag, reason and detail; a refusal prints one reply whose lines
// are whole (one line feed, at the end; no carriage return) and whose qmail-spp form is P
// lines closed by one E line; the activity line has no control bytes and is appended as one
// time-stamped line.
#include <arpa/nameser.h>
#include <netdb.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lists/list_paths.h"
#include "plugin/checks/checks_internal.h"
#include "tarn/tarn_map_writer.h"
#include "plugin/engine.h"
#include "plugin/load_spp_env.h"
#include "plugin/plugin_paths.h"
#include "plugin/reasons.h"
#include "plugin/rule_table.h"
#include "rejmsg/rejection_cache.h"
#include "support/qv_log.h"

namespace {

// The rule whose refusal carries an administrator's own text, when the cache can be used.
constexpr korvex::ReasonId kCustomReason = 21;  // require_helo

struct fixture {
  std::string config_dir;
  std::string log_dir;
  korvex::EngineContext context;
  korvex::EngineSetup setup;
};

// What the resolver hooks answer for the current input.
struct resolver_script {
  int reverse = 0;
  std::string reverse_name;
  korvex::forward_outcome a = korvex::forward_outcome::answered;
  korvex::forward_outcome mx = korvex::forward_outcome::answered;
};
resolver_script script;

int scripted_reverse(const korvex::ip_address& /*address*/, std::string* name) {
  static const int codes[] = {0, HOST_NOT_FOUND, TRY_AGAIN, NO_RECOVERY};
  if (script.reverse == 0) *name = script.reverse_name;
  return codes[script.reverse];
}

korvex::forward_outcome scripted_forward(const std::string& /*name*/, int type) {
  return type == T_MX ? script.mx : script.a;
}

korvex::forward_outcome forward_answer(unsigned bits) {
  static const korvex::forward_outcome outcomes[] = {
      korvex::forward_outcome::answered, korvex::forward_outcome::no_answer,
      korvex::forward_outcome::try_again, korvex::forward_outcome::answered};
  return outcomes[bits & 3];
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    std::perror(path.c_str());
    std::abort();
  }
}

void write_text(const std::string& path, const std::string& text) {
  korvex_fuzz::write_file(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void write_map(const std::string& path, const std::vector<std::string>& blocks) {
  korvex::tarn_map_builder builder;
  for (const std::string& text : blocks) {
    korvex::tarn_block block{};
    if (!korvex::tarn_parse_block(text, &block)) std::abort();
    builder.add(block);
  }
  std::string error;
  if (!korvex::tarn_write_map_file(path, builder.serialize(), &error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    std::abort();
  }
}

// Lays out the private configuration and builds the engine context from it.
fixture* make_fixture() {
  auto* made = new fixture;
  const std::string& root = korvex_fuzz::scratch_dir();
  made->config_dir = root + "/etc";
  made->log_dir = root + "/log";
  make_dir(made->config_dir);
  make_dir(made->config_dir + "/" + korvex::kControlSubdirectory);
  make_dir(made->log_dir);
  make_dir(root + "/tarn");
  const auto control = [&](const char* name) {
    return korvex::control_file_path(made->config_dir, name);
  };
  write_text(control(korvex::kRulesEnabledFile),
             "resolve_helo_domain\nvalid_from_domain\nknown_sender_forgery\n");
  write_text(control(korvex::kTarnEnabledFile), "beta\nalpha\nmissing\n");
  const auto list = [&](int id) { return *korvex::list_file_path(made->config_dir, id); };
  write_text(list(korvex::kExemptIpsList), "192.0.2.99\n");
  write_text(list(korvex::kExemptUsersList), "postmaster@*\n");
  write_text(list(korvex::kFromWhitelistList), "*@friends.example\n");
  write_text(list(korvex::kBlockedIpsList), "203.0.113.66\n");
  write_text(list(korvex::kBlockedFromList), "*@spam.example\n");
  write_map(root + "/tarn/alpha", {"198.51.100.0/24", "10.0.0.0/8"});
  write_map(root + "/tarn/beta", {"198.51.100.7", "203.0.113.0/24", "192.0.2.128/25"});
  write_text(root + "/dyna.regexes",
             "# dynamic hosts\n^[a-z]+-[0-9]+-[0-9]+-[0-9]+-[0-9]+\\.\n(dsl|dialup|ppp)[.-]\n");
  write_text(root + "/spam.regexes", "# abused hosts\n^abused\\.\n[\n\\.bad\\.example$\n");
  write_text(root + "/valid_domain_ips",
             "example.com: 192.0.2.0/24, 198.51.100.7\n# banks\nbank.example: 203.0.113.0/24\n");

  made->context = korvex::korvex_init(korvex_fuzz::captured_log, made->config_dir);
  korvex::CheckContext& checks = made->context.checks;
  checks.tarn_map_dir = root + "/tarn";
  checks.dsl_regex_filename = root + "/dyna.regexes";
  checks.reverse_dns_regex_filename = root + "/spam.regexes";
  checks.ksf_filename = root + "/valid_domain_ips";
  checks.reverse_lookup = scripted_reverse;
  checks.forward_lookup = scripted_forward;
  checks.system_log = korvex_fuzz::captured_log;
  made->setup.list_dir = made->config_dir;
  made->setup.log_dir = made->log_dir;
  made->setup.system_log = korvex_fuzz::quiet_log;
  return made;
}

struct printed_reply {
  int calls = 0;
  korvex::string_list lines;
};

int keep_reply(const korvex::string_list& lines, void* printer_arg) {
  auto* reply = static_cast<printed_reply*>(printer_arg);
  ++reply->calls;
  reply->lines = lines;
  return 0;
}

bool whole_line(const std::string& line) {
  return !line.empty() && line.find('\n') == line.size() - 1 &&
         line.find('\r') == std::string::npos;
}

// The reply's lines are whole and their qmail-spp form is P lines closed by one E line.
bool reply_is_sound(const korvex::string_list& lines) {
  if (lines.empty() || !std::all_of(lines.begin(), lines.end(), whole_line)) return false;
  char* buffer = nullptr;
  std::size_t length = 0;
  std::FILE* stream = ::open_memstream(&buffer, &length);
  if (stream == nullptr) std::abort();
  (void)korvex::spp_print_lines(lines, stream);
  if (std::fclose(stream) != 0) std::abort();
  const std::string printed(buffer, length);
  std::free(buffer);
  std::string expected;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    expected += (i + 1 < lines.size() ? "P" : "E") + lines[i];
  }
  return printed == expected;
}

// A refusal names what hit: a black list, a rule of the table (one that runs for mail user
// agents when the peer is one), or the block lists with the enabled maps that hold the peer.
bool detail_is_known(const std::string& detail, const korvex::SessionState& state) {
  if (detail == "ip_blacklist" || detail == "from_blacklist") return true;
  if (detail == "block_lists:alpha" || detail == "block_lists:beta" ||
      detail == "block_lists:alpha,beta") {
    return state.mua == 0;
  }
  const korvex::RuleTable& rules = korvex::builtin_rules();
  return std::any_of(rules.begin(), rules.end(), [&](const korvex::RuleEntry& rule) {
    return rule.kind() == 1 && rule.name == detail &&
           (state.mua == 0 || rule.applies_to_mua != 0);
  });
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The activity file holds exactly the record's line behind one time stamp.
bool activity_is_sound(const std::string& file, const std::string& log_line) {
  const std::string stamp_shape = "dddd-dd-dd dd:dd:dd";
  if (file.size() < stamp_shape.size()) return false;
  for (std::size_t i = 0; i < stamp_shape.size(); ++i) {
    const bool digit = file[i] >= '0' && file[i] <= '9';
    if (stamp_shape[i] == 'd' ? !digit : file[i] != stamp_shape[i]) return false;
  }
  return file.substr(stamp_shape.size()) == std::string(" ") + korvex::kPleskIdentity + "[" +
                                                std::to_string(::getpid()) + "]: " + log_line +
                                                "\n";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The peer's name comes from the session or the scripted lookup, never from this
  // process's environment.
  (void)::unsetenv("TCPREMOTEHOST");
  // With a private IPC namespace (root only) the reply of one rule comes from the message
  // cache, so the custom-text path is fuzzed too; the host's segments are never touched.
  if (::geteuid() == 0 && ::unshare(CLONE_NEWIPC) == 0) {
    (void)korvex::rejection_cache_store(kCustomReason,
                                        std::string("No HELO from %IP% (%RDNS%) for %FROM%\r\n"
                                                    "to %TO%, HELO %HELO%"),
                                        korvex::kRejectionKeyFile, nullptr);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fixture* const engine = make_fixture();
  if (size < 2) return 0;
  const unsigned present = data[0];
  const unsigned lookups = data[1];
  script.reverse = static_cast<int>(lookups & 3);
  script.a = forward_answer(lookups >> 2);
  script.mx = forward_answer(lookups >> 4);
  data += 2;
  size -= 2;

  korvex::SessionState state;
  std::optional<std::string>* const fields[] = {&state.ip,        &state.remote_host,
                                                &state.helo,      &state.mail_from,
                                                &state.rcpt_to,   &state.auth_user};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    std::string value = korvex_fuzz::take_piece(&data, &size);
    if ((present & (1u << i)) != 0) *fields[i] = std::move(value);
  }
  script.reverse_name = korvex_fuzz::take_piece(&data, &size);
  state.protocol_state = korvex::ProtocolState::RCPT;
  state.rdns_state = static_cast<std::int32_t>(lookups >> 6);
  state.log = korvex_fuzz::captured_log;
  korvex::qv_set_logger(korvex_fuzz::captured_log);
  korvex_fuzz::captured_lines().clear();
  if ((present & 0x40u) != 0) {
    (void)::setenv("RELAYCLIENT", "", 1);
  } else {
    (void)::unsetenv("RELAYCLIENT");
  }
  korvex::detect_mua(&state, korvex_fuzz::captured_log);

  const std::string activity = engine->log_dir + "/" + korvex::kActivityFileName;
  (void)::unlink(activity.c_str());
  printed_reply reply;
  const std::optional<korvex::VerdictRecord> record =
      korvex::decide(engine->context, state, keep_reply, &reply, engine->setup);
  if (!record) __builtin_trap();

  switch (record->verdict) {
    case korvex::Verdict::SPAM:
      if (record->rejected != 1 || reply.calls != 1 || !reply_is_sound(reply.lines)) {
        __builtin_trap();
      }
      if (korvex::reason_name(record->reason) == nullptr || !record->detail ||
          !detail_is_known(*record->detail, state)) {
        __builtin_trap();
      }
      break;
    case korvex::Verdict::HAM:
    case korvex::Verdict::IP_EXEMPT:
    case korvex::Verdict::RCPT_EXEMPT:
    case korvex::Verdict::FROM_WHITELIST:
      if (record->rejected != 0 || reply.calls != 0 || record->reason != 0 || record->detail) {
        __builtin_trap();
      }
      break;
    default:
      __builtin_trap();
  }
  const std::string& line = record->log_line;
  if (std::any_of(line.begin(), line.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; })) {
    __builtin_trap();
  }
  const std::string opening = std::string(korvex::verdict_name(record->verdict)) +
                              (record->verdict == korvex::Verdict::SPAM
                                   ? "[" + *record->detail + "]"
                                   : std::string()) +
                              ": mua=" + std::to_string(state.mua) + ",ip=[";
  if (line.compare(0, opening.size(), opening) != 0) __builtin_trap();
  if (!activity_is_sound(read_whole(activity), line)) __builtin_trap();
  return 0;
}
