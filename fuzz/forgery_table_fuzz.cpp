// Fuzz target: the forgery table - its parser over arbitrary table bytes, and the
// known_sender_forgery rule with arbitrary peer address and MAIL FROM. Input: one switch
// byte (bit 0 report-only, bit 1 verbose), then the peer address and the MAIL FROM each
// ended by a NUL, then the table file.
//
// The check makes no DNS lookups (addresses are converted with inet_network and
// inet_aton, domains only checked for syntax); the resolver hooks of the checks trap, so a
// lookup that crept in would show up here at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/checks/checks_internal.h"
#include "plugin/checks/known_sender_forgery_funcs.h"
#include "plugin/checks/known_sender_forgery_internal.h"
#include "plugin/rule_table.h"
#include "support/qv_log.h"
#include "support/qv_rfc.h"

namespace {

// The library's diagnostics keep 254 characters of a text.
constexpr std::size_t kLoggedTextLimit = 254;

int no_reverse_lookup(const korvex::ip_address& /*address*/, std::string* /*name*/) {
  __builtin_trap();
}
korvex::forward_outcome no_forward_lookup(const std::string& /*name*/, int /*type*/) {
  __builtin_trap();
}

// A parsed table holds only what the parser promises: valid lower-case domains, each with
// at least one block whose prefix is 0 to 32 and whose host bits are clear.
bool table_is_sound(const korvex::ksf_table& table) {
  for (const korvex::ksf_domain_ips& record : table) {
    if (!korvex::qv_valid_domain(record.domain.c_str())) return false;
    if (std::any_of(record.domain.begin(), record.domain.end(),
                    [](char c) { return c >= 'A' && c <= 'Z'; })) {
      return false;
    }
    if (record.ip_set.empty()) return false;
    for (const korvex::ksf_cidr& block : record.ip_set) {
      if (block.prefix < 0 || block.prefix > 32) return false;
      const std::uint64_t host_bits = (std::uint64_t{block.network} << block.prefix) & 0xFFFFFFFFu;
      if (block.prefix != 32 && host_bits != 0) return false;
    }
  }
  return true;
}

// Whether ip may send for domain according to table: the first record of the domain
// decides; no table, no record or an address that does not convert lets it send.
int expected_restriction(const std::optional<korvex::ksf_table>& table, const std::string& ip,
                         const std::string& domain) {
  if (!table) return 1;
  const auto record = std::find_if(table->begin(), table->end(),
                                   [&](const korvex::ksf_domain_ips& r) { return r.domain == domain; });
  if (record == table->end()) return 1;
  const auto address = static_cast<std::uint32_t>(::inet_network(ip.c_str()));
  if (address == 0xFFFFFFFFu) return 1;
  for (const korvex::ksf_cidr& block : record->ip_set) {
    const std::uint32_t mask = block.prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - block.prefix);
    if ((address & mask) == block.network) return 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The debug lines are formatted too, so their arguments are exercised.
  (void)::setenv("VERBOSEDEBUG", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool report_only = (data[0] & 1) != 0;
  korvex::ksf_set_verbose(data[0] & 2);
  ++data;
  --size;
  const std::string ip = korvex_fuzz::take_piece(&data, &size);
  const std::string mail_from = korvex_fuzz::take_piece(&data, &size);
  korvex::qv_set_logger(korvex_fuzz::captured_log);
  korvex_fuzz::captured_lines().clear();

  // The file is read whole; the parser sees it up to its first NUL.
  const std::string path = korvex_fuzz::scratch_dir() + "/valid_domain_ips";
  korvex_fuzz::write_file(path, data, size);
  const std::string text(reinterpret_cast<const char*>(data),
                         std::find(data, data + size, std::uint8_t{0}) - data);
  const std::optional<korvex::ksf_table> table = korvex::__ksf_get_domain_ip_sets(text.c_str());
  if (table && (table->empty() || !table_is_sound(*table))) __builtin_trap();
  if (korvex::ksf_get_domain_ip_sets_from_file(path.c_str()) != table) __builtin_trap();

  const std::optional<std::string> domain = korvex::ksf_parse_mail_from_domain(mail_from.c_str());
  if (domain) {
    if (!korvex::qv_valid_domain(domain->c_str())) __builtin_trap();
    if (std::any_of(domain->begin(), domain->end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
      __builtin_trap();
    }
  }
  int restriction = 1;
  if (domain && !ip.empty()) {
    restriction = korvex::ksf_check_domain_to_ip_restriction(ip.c_str(), domain->c_str(),
                                                             path.c_str());
    if (restriction != expected_restriction(table, ip, *domain)) __builtin_trap();
  }

  korvex::CheckContext checks;
  checks.ksf_filename = path;
  checks.ksf_report_only = report_only ? 1 : 0;
  checks.reverse_lookup = no_reverse_lookup;
  checks.forward_lookup = no_forward_lookup;
  checks.system_log = korvex_fuzz::quiet_log;
  korvex::SessionState state;
  state.ip = ip;
  state.mail_from = mail_from;
  korvex_fuzz::captured_lines().clear();
  const korvex::CheckResult result = korvex::known_sender_forgery(checks, state);
  const bool refused = !ip.empty() && korvex::qv_is_ip(ip.c_str()) && domain && restriction == 0;
  if (result != (refused && !report_only ? korvex::HIT : korvex::DUNNO)) __builtin_trap();

  // A refusal, or what would have been one, is reported in exactly one info line.
  std::string notice;
  if (refused) {
    notice = "IP [" + ip + "] may not send from domain [" + *domain + "]" +
             (report_only ? " (DEBUG)" : "");
    notice.resize(std::min(notice.size(), kLoggedTextLimit));
  }
  int notices = 0;
  for (const korvex_fuzz::logged_line& line : korvex_fuzz::captured_lines()) {
    if (line.priority != LOG_INFO) continue;
    if (!refused || line.text != notice) __builtin_trap();
    ++notices;
  }
  if (notices != (refused ? 1 : 0)) __builtin_trap();
  return 0;
}
