// known_sender_forgery_funcs - the forgery table parser and the known_sender_forgery rule.
// See known_sender_forgery_funcs.h; the parser's steps are in
// known_sender_forgery_internal.h.
//
// The rule reads the table a block of whole lines at a time and parses only the lines where
// the sender's domain occurs; its verdict is the one the whole table, parsed, would give.
#include "plugin/checks/known_sender_forgery_funcs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/checks/known_sender_forgery_internal.h"
#include "support/qv_file.h"
#include "support/qv_list.h"
#include "support/qv_log.h"
#include "support/qv_rfc.h"
#include "support/qv_stringutils.h"
#include "support/unique_fd.h"

namespace korvex {
namespace {

constexpr const char* kModule = "known_sender_forgery_funcs";
constexpr std::uint32_t kAllOnes = 0xFFFFFFFFU;
constexpr std::int32_t kMaxPrefix = 32;
constexpr std::int32_t kIpv6Prefix = 128;

// Off in the plugin: dropped table entries are only worth errors while someone is
// checking a table by hand.
int verbose = 0;

// split_pieces - the non-empty pieces of text between delimiters; false when the splitter
// failed (it has said why).
bool split_pieces(const std::string& text, char delimiter, std::vector<std::string>* pieces) {
  qv_list list;
  if (qv_list_from_string_by_char(&list, text.c_str(), text.size(), delimiter) == 0) {
    return false;
  }
  for (const auto& entry : list) pieces->emplace_back(static_cast<const char*>(entry->data));
  return true;
}

// trimmed - text without leading white space and trailing non-printable bytes.
std::string trimmed(const std::string& text) {
  string_slot slot = text;
  qv_trim(&slot);
  return slot.value_or(std::string());
}

// lower_trimmed - trimmed text in lower case, the form domains are compared in.
std::string lower_trimmed(const std::string& text) {
  std::string result = trimmed(text);
  qv_lower(&result);
  return result;
}

// to_host_order - a dotted quad in host byte order; all ones when it does not convert.
std::uint32_t to_host_order(const char* ip) { return static_cast<std::uint32_t>(inet_network(ip)); }

bool written_as_ipv6(const char* text) { return std::strchr(text, ':') != nullptr; }

// host_order - an IPv4 address of ip_address in host byte order.
std::uint32_t host_order(const ip_address& address) {
  return static_cast<std::uint32_t>(address.bytes[0]) << 24 |
         static_cast<std::uint32_t>(address.bytes[1]) << 16 |
         static_cast<std::uint32_t>(address.bytes[2]) << 8 | address.bytes[3];
}

// block_of - the table's block for a parsed range; a mapped range is the IPv4 block.
ksf_cidr block_of(const ip_range& range) {
  if (range.network.family == AF_INET) return ksf_cidr{host_order(range.network), range.prefix, {}};
  return ksf_cidr{0, kIpv6Prefix, range};
}

// ipv6_block - an IPv6 entry, range or single address; none when it is neither.
std::optional<ksf_cidr> ipv6_block(const char* text) {
  if (const auto range = parse_ip_range(text)) return block_of(*range);
  if (const auto address = parse_ipv6_address(text)) {
    return block_of(ip_range{*address, address->family == AF_INET ? kMaxPrefix : kIpv6Prefix});
  }
  return std::nullopt;
}

// in_ipv6_set - the IPv6 peer lies in one of the set's IPv6 blocks.
bool in_ipv6_set(const ip_address& peer, const ksf_ip_set& set) {
  return std::any_of(set.begin(), set.end(), [&peer](const ksf_cidr& block) {
    return block.ipv6 && range_contains(*block.ipv6, peer);
  });
}

// ipv6_line_pieces - domain and set of a line whose set holds IPv6 entries, which have
// colons of their own: the domain is the first non-empty colon-separated piece, the set
// everything after the colon that ends it.
std::vector<std::string> ipv6_line_pieces(const std::string& line) {
  const std::size_t start = line.find_first_not_of(':');
  const std::size_t end = line.find(':', start);
  return {line.substr(start, end - start), line.substr(end + 1)};
}

void report_invalid_argument(const char* function, int line) {
  qv_log_error(function, kModule, line, "%s", std::strerror(EINVAL));
}

// same_domain - text equals the lower-case domain once its letters are lowered as qv_lower
// lowers them.
bool same_domain(const std::string& text, const std::string& lower_domain) {
  return text.size() == lower_domain.size() &&
         std::equal(text.begin(), text.end(), lower_domain.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
         });
}

// may_name_domain - the trimmed table line, if it parses at all, is stored under the
// domain: its first non-empty colon-separated piece, trimmed, is that domain in some case.
// Blank and comment lines name none.
bool may_name_domain(const std::string& line, const std::string& lower_domain) {
  if (line.empty() || line.front() == '#') return false;
  const std::size_t start = line.find_first_not_of(':');
  if (start == std::string::npos) return false;
  const std::size_t end = line.find(':', start);
  return same_domain(trimmed(line.substr(start, end - start)), lower_domain);
}

// lowered - the text with its letters lowered as qv_lower lowers them. The plugin runs in
// the C locale, where only A-Z have lower-case forms; lowering them inline spares a library
// call for every byte of the table on every run.
std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

// lower_into - text with its letters lowered as `lowered` lowers them, written to out. The
// inner loop has a fixed length so that the compiler turns it into vector instructions: the
// whole table passes through here on every run.
void lower_into(std::string_view text, char* out) {
  constexpr std::size_t kBlock = 64;
  const auto lower = [](char c) {
    return static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
  };
  std::size_t at = 0;
  for (; at + kBlock <= text.size(); at += kBlock) {
    for (std::size_t i = 0; i < kBlock; ++i) out[at + i] = lower(text[at + i]);
  }
  for (; at < text.size(); ++at) out[at] = lower(text[at]);
}

// find_lowered - where the lower-case needle first occurs at or after from in the text once
// lowered (npos when nowhere). The text is lowered a window at a time, the windows
// overlapping by less than the needle, so that no lowered copy of the table is made.
// memmem's two-way search stays fast where std::string::find would stop at every byte equal
// to the needle's first letter.
std::size_t find_lowered(std::string_view text, const std::string& needle, std::size_t from) {
  constexpr std::size_t kWindow = 4096;
  if (needle.empty() || needle.size() > kWindow / 2) {
    return lowered(text).find(needle, from);
  }
  std::array<char, kWindow> window{};
  for (std::size_t start = from; start < text.size();) {
    const std::size_t length = std::min(kWindow, text.size() - start);
    lower_into(text.substr(start, length), window.data());
    const void* found = ::memmem(window.data(), length, needle.data(), needle.size());
    if (found != nullptr) return start + (static_cast<const char*>(found) - window.data());
    if (start + length == text.size()) break;
    start += length - (needle.size() - 1);
  }
  return std::string::npos;
}

// first_record_in_lines - the first record among these whole lines that is stored under the
// domain, or nothing when none is. A line can name the domain only if the domain, in some
// case, occurs in it; only such lines are parsed, and the first of them that parses counts.
std::optional<ksf_domain_ips> first_record_in_lines(const std::string& lower_domain,
                                                    std::string_view lines) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t found = find_lowered(lines, lower_domain, from);
    if (found == std::string::npos) return std::nullopt;
    const std::size_t previous = lines.rfind('\n', found);
    const std::size_t line_start = previous == std::string::npos ? 0 : previous + 1;
    const std::size_t line_end = std::min(lines.find('\n', found), lines.size());
    from = line_end + 1;
    const std::string line = trimmed(std::string(lines.substr(line_start, line_end - line_start)));
    if (!may_name_domain(line, lower_domain)) continue;
    auto record = __ksf_parse_domain_ips_line(line.c_str());
    if (record && record->domain == lower_domain) return record;
  }
}

// read_table_block - append up to length more bytes of the table to text; false on a read
// error. *ended is set at the end of the file.
bool read_table_block(int fd, std::size_t length, std::string* text, bool* ended) {
  const std::size_t kept = text->size();
  text->resize(kept + length);
  ssize_t got = 0;
  do {
    got = ::read(fd, text->data() + kept, length);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    QV_ERROR(kModule, "%s", std::strerror(errno));
    text->resize(kept);
    return false;
  }
  text->resize(kept + static_cast<std::size_t>(got));
  *ended = got == 0;
  return true;
}

}  // namespace

std::optional<ksf_cidr> __ksf_parse_cidr(const char* text) {
  if (text == nullptr) {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  if (*text == '\0') {
    QV_DEBUG(kModule, "invalid cidr");
    return std::nullopt;
  }
  if (written_as_ipv6(text) && std::strchr(text, '/') != nullptr) {
    if (const auto range = parse_ip_range(text)) return block_of(*range);
    QV_DEBUG(kModule, "invalid cidr");
    return std::nullopt;
  }
  std::vector<std::string> pieces;
  if (!split_pieces(text, '/', &pieces)) return std::nullopt;
  if (pieces.size() != 2) {
    QV_DEBUG(kModule, "invalid cidr format - number of elements not as expected: %d",
             static_cast<int>(pieces.size()));
    return std::nullopt;
  }
  if (!qv_is_ip(pieces[0].c_str())) {
    QV_DEBUG(kModule, "invalid ip");
    return std::nullopt;
  }
  const std::uint32_t address = to_host_order(pieces[0].c_str());
  if (address == kAllOnes) {
    QV_DEBUG(kModule, "failed to convert ip to host byte order");
    return std::nullopt;
  }
  // Leading blanks and a sign are read, trailing text is ignored; a negative or oversized
  // prefix falls outside the range either way.
  const long prefix = std::strtol(pieces[1].c_str(), nullptr, 10);
  if (prefix < 0 || prefix > kMaxPrefix) {
    QV_DEBUG(kModule, "cidr has invalid prefix");
    return std::nullopt;
  }
  // Shifting the network bits out leaves only the host bits, which must all be clear.
  if (prefix != kMaxPrefix && (address << prefix) != 0) {
    QV_DEBUG(kModule, "cidr is not valid given the prefix. addr: %d prefix: %d",
             static_cast<int>(address), static_cast<int>(prefix));
    return std::nullopt;
  }
  return ksf_cidr{address, static_cast<std::int32_t>(prefix), {}};
}

std::optional<ksf_cidr> __ksf_parse_ip_or_cidr(const char* text) {
  if (text == nullptr || *text == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  if (auto cidr = __ksf_parse_cidr(text)) return cidr;
  if (written_as_ipv6(text)) {
    if (auto block = ipv6_block(text)) return block;
  } else if (qv_is_ip(text)) {
    const std::uint32_t address = to_host_order(text);
    if (address == kAllOnes) {
      QV_DEBUG(kModule, "failed to convert ip %s to host byte order", text);
      return std::nullopt;
    }
    return ksf_cidr{address, kMaxPrefix, {}};
  }
  if (verbose != 0) QV_ERROR(kModule, "Failed to parse [%s] as CIDR or IP", text);
  return std::nullopt;
}

std::optional<ksf_ip_set> __ksf_parse_ip_set(const char* text) {
  if (text == nullptr) {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  if (*text == '\0') {
    QV_DEBUG(kModule, "blank set of ips given");
    return std::nullopt;
  }
  std::vector<std::string> pieces;
  if (!split_pieces(text, ',', &pieces)) return std::nullopt;
  ksf_ip_set set;
  for (const std::string& piece : pieces) {
    const std::string entry = trimmed(piece);
    if (entry.empty()) continue;
    if (const auto cidr = __ksf_parse_ip_or_cidr(entry.c_str())) {
      set.push_back(*cidr);
      QV_DEBUG(kModule, "stored IP range from [%s]", entry.c_str());
    }
  }
  if (set.empty()) return std::nullopt;
  return set;
}

std::optional<ksf_domain_ips> __ksf_parse_domain_ips_line(const char* line) {
  if (line == nullptr || *line == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  // The splitter drops empty pieces, so "a.example::1.2.3.4" still has two.
  std::vector<std::string> pieces;
  if (!split_pieces(line, ':', &pieces)) return std::nullopt;
  // More pieces are a set with IPv6 entries, or a line with a field too many; the set's
  // parse tells them apart.
  const std::size_t count = pieces.size();
  if (count > 2) pieces = ipv6_line_pieces(line);
  if (pieces.size() != 2 || (count > 2 && !__ksf_parse_ip_set(pieces[1].c_str()))) {
    QV_DEBUG(kModule, "invalid number of elements in domain/ip range line: %d",
             static_cast<int>(count));
    return std::nullopt;
  }
  ksf_domain_ips record;
  record.domain = lower_trimmed(pieces[0]);
  if (!qv_valid_domain(record.domain.c_str())) {
    QV_DEBUG(kModule, "domain %s is not valid", record.domain.c_str());
    if (verbose != 0) QV_ERROR(kModule, "Domain [%s] is not valid", record.domain.c_str());
    return std::nullopt;
  }
  auto set = __ksf_parse_ip_set(pieces[1].c_str());
  if (!set) {
    QV_DEBUG(kModule, "failed to parse ip set");
    return std::nullopt;
  }
  record.ip_set = std::move(*set);
  return record;
}

std::optional<ksf_table> __ksf_get_domain_ip_sets(const char* text) {
  if (text == nullptr || *text == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  std::vector<std::string> lines;
  if (!split_pieces(text, '\n', &lines)) {
    QV_ERROR(kModule, "failed to split the table into lines");
    return std::nullopt;
  }
  ksf_table table;
  for (const std::string& raw : lines) {
    const std::string line = trimmed(raw);
    if (line.empty()) {
      QV_DEBUG(kModule, "skipping blank line (after trim)");
      continue;
    }
    if (line.front() == '#') {
      QV_DEBUG(kModule, "skipping comment line");
      continue;
    }
    if (auto record = __ksf_parse_domain_ips_line(line.c_str())) {
      table.push_back(std::move(*record));
      QV_DEBUG(kModule, "stored domain/IPs range from [%s]", line.c_str());
    } else if (verbose != 0) {
      QV_ERROR(kModule, "Ignored unparseable line [%s]", line.c_str());
    }
  }
  if (table.empty()) return std::nullopt;
  return table;
}

bool __ksf_is_ip_in_cidr_block(std::uint32_t address, std::uint32_t network, std::int32_t prefix) {
  // All ones is what a failed conversion gives, never a usable address or network.
  if (address == kAllOnes || network == kAllOnes || prefix < 0 || prefix > kMaxPrefix) {
    report_invalid_argument(__func__, __LINE__);
    return false;
  }
  const std::uint32_t mask = prefix == 0 ? 0 : kAllOnes << (kMaxPrefix - prefix);
  return (address & mask) == network;
}

bool __ksf_is_ip_in_ranges(const char* ip, const ksf_ip_set& set) {
  if (ip == nullptr || *ip == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return true;
  }
  std::uint32_t address = kAllOnes;
  if (written_as_ipv6(ip)) {
    const auto peer = parse_ipv6_address(ip);
    if (peer && peer->family == AF_INET6) return in_ipv6_set(*peer, set);
    if (peer) address = host_order(*peer);
  } else {
    address = to_host_order(ip);
  }
  if (address == kAllOnes) {
    QV_ERROR(kModule, "failed to convert ip [%s] to host order bytes", ip);
    return true;
  }
  return std::any_of(set.begin(), set.end(), [address](const ksf_cidr& block) {
    if (block.ipv6 || block.network == kAllOnes || block.prefix < 0) return false;
    return __ksf_is_ip_in_cidr_block(address, block.network, block.prefix);
  });
}

std::optional<ksf_table> ksf_get_domain_ip_sets_from_file(const char* path) {
  if (path == nullptr || *path == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  try {
    const auto contents = qv_file_get_contents(path);
    if (!contents) {
      QV_ERROR(kModule, "Failed to read domain/ip list file: %s", path);
      return std::nullopt;
    }
    return __ksf_get_domain_ip_sets(contents->c_str());
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return std::nullopt;
  }
}

std::optional<ksf_table> ksf_get_domain_ip_sets_from_file(const char* path,
                                                          const std::string& domain) {
  if (path == nullptr || *path == '\0' || domain.empty()) {
    report_invalid_argument(__func__, __LINE__);
    return std::nullopt;
  }
  // The table is taken as the whole-table read takes it: as long as it was when opened, up to
  // its first NUL, none when empty, unreadable or too large. It is read and searched a block
  // of whole lines at a time, so that a run touches a few pages, and read to its end even
  // after the domain's line was found, so that a table that cannot be read whole decides
  // nothing either way.
  const unique_fd file(qv_open(path, false, O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || status.st_size <= 0 ||
      status.st_size > kQvFileMaxContents) {
    QV_ERROR(kModule, "Failed to read domain/ip list file: %s", path);
    return std::nullopt;
  }
  constexpr std::size_t kBlock = 16384;
  const auto size = static_cast<std::size_t>(status.st_size);
  std::optional<ksf_domain_ips> record;
  bool at_nul = false;
  std::size_t taken = 0;
  std::string text;  // the start of a line carried over, then the block just read
  for (bool ended = false; !ended;) {
    const std::size_t kept = text.size();
    if (!read_table_block(file.get(), std::min(kBlock, size - taken), &text, &ended)) {
      QV_ERROR(kModule, "Failed to read domain/ip list file: %s", path);
      return std::nullopt;
    }
    taken += text.size() - kept;
    ended = ended || taken >= size;
    if (record || at_nul) {
      text.clear();
      continue;
    }
    // The table ends at a NUL, as the C string of a whole read would.
    const std::size_t nul = text.find('\0', kept);
    if (nul != std::string::npos) {
      text.resize(nul);
      at_nul = true;
    }
    const std::size_t last_line_feed = text.rfind('\n');
    std::size_t whole = last_line_feed == std::string::npos ? 0 : last_line_feed + 1;
    if (ended || at_nul) whole = text.size();
    record = first_record_in_lines(domain, std::string_view(text).substr(0, whole));
    text.erase(0, whole);
  }
  ksf_table table;
  if (record) table.push_back(std::move(*record));
  return table;
}

std::optional<std::string> ksf_parse_mail_from_domain(const char* mail_from) {
  if (mail_from == nullptr || *mail_from == '\0') {
    QV_DEBUG(kModule, "empty or NULL MAIL FROM argument - possible bounce");
    return std::nullopt;
  }
  if (!qv_valid_email_address(mail_from)) {
    QV_DEBUG(kModule, "email address is not valid");
    return std::nullopt;
  }
  try {
    // A valid address has an at sign.
    std::string domain = lower_trimmed(std::strrchr(mail_from, '@') + 1);
    if (!qv_valid_domain(domain.c_str())) {
      QV_DEBUG(kModule, "domain is not valid: %s", domain.c_str());
      return std::nullopt;
    }
    return domain;
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return std::nullopt;
  }
}

int ksf_check_domain_to_ip_restriction(const char* ip, const char* domain, const char* path) {
  if (ip == nullptr || *ip == '\0' || domain == nullptr || *domain == '\0' || path == nullptr ||
      *path == '\0') {
    report_invalid_argument(__func__, __LINE__);
    return 1;
  }
  try {
    const std::string wanted = lower_trimmed(domain);
    if (wanted.empty()) {
      QV_ERROR(kModule, "Invalid domain - blank after trimming whitespace");
      return 1;
    }
    // On every run only the sender's domain matters: the table's other lines are not parsed.
    const auto table = ksf_get_domain_ip_sets_from_file(path, wanted);
    if (!table) {
      QV_DEBUG(kModule, "could not get domains/ips, or none in file");
      return 1;
    }
    // The first line naming a domain is the one that counts.
    const auto record =
        std::find_if(table->begin(), table->end(),
                     [&wanted](const ksf_domain_ips& r) { return r.domain == wanted; });
    if (record == table->end()) return 1;
    return __ksf_is_ip_in_ranges(ip, record->ip_set) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return 1;
  }
}

void ksf_set_verbose(int flag) { verbose = flag; }

// The rule routines share the by-value session signature of the rule table.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
CheckResult known_sender_forgery(const CheckContext& context, SessionState state) {
  if (!state.mail_from || state.mail_from->empty() || !state.ip || state.ip->empty()) {
    return DUNNO;
  }
  const char* ip = state.ip->c_str();
  if (!is_ipv6_address(ip) && !qv_is_ip(ip)) return DUNNO;
  const std::string& path = context.ksf_filename;
  if (path.empty() || !qv_file_exists(path.c_str())) return DUNNO;
  const auto domain = ksf_parse_mail_from_domain(state.mail_from->c_str());
  if (!domain) return DUNNO;
  if (ksf_check_domain_to_ip_restriction(ip, domain->c_str(), path.c_str()) != 0) return DUNNO;
  // Report-only lets an administrator watch what the rule would refuse before relying on it.
  const bool report_only = context.ksf_report_only == 1;
  qv_log_info("IP [%s] may not send from domain [%s]%s", ip, domain->c_str(),
              report_only ? " (DEBUG)" : "");
  return report_only ? DUNNO : HIT;
}

}  // namespace korvex
