// bench_data - draws the benchmark's configuration and writes it as files.
#include "bench/bench_data.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "tarn/tarn_map_writer.h"

namespace korvex::bench {
namespace {

namespace fs = std::filesystem;
using Random = std::mt19937;

// Seeds of the lists; every data set uses the same ones, so a shorter list is the start of
// a longer one.
constexpr std::uint32_t kDynamicSeed = 3001;
constexpr std::uint32_t kAbusedSeed = 3002;
constexpr std::uint32_t kForgerySeed = 4001;
constexpr std::uint32_t kListSeeds[] = {2001, 2002, 2003, 2004, 2005};

constexpr std::array<const char*, 20> kDynamicWords = {
    "dsl",   "adsl",   "xdsl",   "dyn",       "dynamic",  "pool", "cable", "ppp", "pppoe", "dialup",
    "dhcp",  "dial",   "client", "cpe",       "broadband", "customer", "user", "home", "res", "ip"};
constexpr std::array<const char*, 15> kTlds = {"net", "com", "de", "fr", "it", "nl", "pl", "br",
                                               "ru",  "jp",  "at", "ch", "es", "se", "cz"};
constexpr std::array<const char*, 16> kSyllables = {"tel", "net", "com", "ka",  "ro", "vi",
                                                    "lo",  "ne",  "sta", "mo",  "tri", "fi",
                                                    "ber", "lin", "co",  "von"};
constexpr std::array<const char*, 8> kRegions = {"nyc", "ber", "par", "mil",
                                                 "war", "sao", "mos", "tok"};
constexpr std::array<const char*, 7> kBulkWords = {"promo", "deals", "offers", "mailer",
                                                   "blast", "news",  "market"};
constexpr std::array<const char*, 10> kLocalParts = {"info", "sales", "office", "billing", "jobs",
                                                     "support", "admin", "hello", "team", "post"};

unsigned pick(Random& random, unsigned low, unsigned high) {
  return std::uniform_int_distribution<unsigned>(low, high)(random);
}

template <typename Array>
const char* pick_from(Random& random, const Array& words) {
  return words[pick(random, 0, static_cast<unsigned>(words.size() - 1))];
}

// A first octet the generated blocks may use: public unicast, and never the /8s of the
// session peers, so that only the maps marked for it list the TARN peer.
unsigned listed_first_octet(Random& random) {
  for (;;) {
    const unsigned octet = pick(random, 1, 223);
    if (octet != 10 && octet != 127 && octet != 192 && octet != 198 && octet != 203) return octet;
  }
}

std::string random_address(Random& random) {
  return std::to_string(listed_first_octet(random)) + "." + std::to_string(pick(random, 0, 255)) +
         "." + std::to_string(pick(random, 0, 255)) + "." + std::to_string(pick(random, 1, 254));
}

// A made-up provider name such as "telvistaro".
std::string provider_name(Random& random) {
  std::string name;
  const unsigned syllables = pick(random, 2, 3);
  for (unsigned index = 0; index < syllables; ++index) name += pick_from(random, kSyllables);
  return name;
}

// The provider's domain written as an expression: "telvista\.de".
std::string domain_expression(Random& random) {
  return provider_name(random) + "\\." + pick_from(random, kTlds);
}

std::string dynamic_pattern(Random& random) {
  const std::string word = pick_from(random, kDynamicWords);
  const std::string domain = domain_expression(random);
  static constexpr const char* kOctet = "[0-9]{1,3}";
  switch (pick(random, 0, 6)) {
    case 0:
      return "^" + word + "[-.]?" + kOctet + "[-.]" + kOctet + "[-.]" + kOctet + "[-.]" + kOctet +
             "\\." + domain + "$";
    case 1:
      return "^([0-9]{1,3}[-.]){3}[0-9]{1,3}\\." + word + "\\." + domain + "$";
    case 2:
      return word + "-?[0-9]+\\.([a-z]+\\.)?" + domain + "$";
    case 3:
      return "^[a-z]+" + std::string(kOctet) + "-" + kOctet + "-" + kOctet + "-" + kOctet + "\\." +
             word + "\\." + domain;
    case 4:
      return "^(" + word + "|" + pick_from(random, kDynamicWords) + ")-?[0-9a-f]{4,12}\\." +
             domain + "$";
    case 5:
      return std::string(kOctet) + "\\." + kOctet + "\\." + kOctet + "\\." + kOctet + "\\." + word +
             "[0-9]*\\." + domain;
    default:
      return "^" + word + "[0-9]+-[0-9]+\\." + pick_from(random, kRegions) + "\\." + domain + "$";
  }
}

std::string abused_pattern(Random& random) {
  switch (pick(random, 0, 4)) {
    case 0:
      return "^bulk[0-9]*\\." + domain_expression(random) + "$";
    case 1:
      return "^(mail|smtp|mx|out)[0-9]{2,}\\." + std::string(pick_from(random, kBulkWords)) +
             "-?[0-9]*\\.(com|net|biz|info)$";
    case 2:
      return "^[a-z]{3,}[0-9]{3,}\\." + domain_expression(random);
    case 3:
      return "news(letter)?[0-9]*\\." + domain_expression(random) + "$";
    default:
      return "^" + std::string(pick_from(random, kBulkWords)) + "[0-9]+-[0-9]+\\." +
             domain_expression(random) + "$";
  }
}

std::string random_domain(Random& random) {
  return provider_name(random) + std::to_string(pick(random, 1, 999)) + "." +
         pick_from(random, kTlds);
}

std::string address_entry(Random& random, bool wildcard) {
  const std::string domain = random_domain(random);
  const std::string local = pick_from(random, kLocalParts);
  if (!wildcard) return local + std::to_string(pick(random, 1, 99)) + "@" + domain;
  switch (pick(random, 0, 2)) {
    case 0:
      return "*@" + domain;
    case 1:
      return local + "*@" + domain;
    default:
      return "*@*." + domain;
  }
}

std::string forgery_line(Random& random, int index) {
  std::string line = provider_name(random) + std::to_string(index) + "." + pick_from(random, kTlds);
  const unsigned blocks = pick(random, 1, 3);
  const unsigned singles = pick(random, 0, 2);
  for (unsigned count = 0; count < blocks + singles; ++count) {
    line += count == 0 ? ":" : ",";
    if (count >= blocks) {
      line += random_address(random);
      continue;
    }
    const unsigned prefix = pick(random, 16, 28);
    const std::uint32_t mask = ~((std::uint32_t{1} << (32 - prefix)) - 1);
    const std::uint32_t network =
        ((listed_first_octet(random) << 24) | (pick(random, 0, 255) << 16) |
         (pick(random, 0, 255) << 8) | pick(random, 0, 255)) &
        mask;
    line += std::to_string(network >> 24) + "." + std::to_string((network >> 16) & 255) + "." +
            std::to_string((network >> 8) & 255) + "." + std::to_string(network & 255) + "/" +
            std::to_string(prefix);
  }
  return line;
}

// "1,528"
std::string grouped(std::uintmax_t value) {
  const std::string digits = std::to_string(value);
  std::string text;
  for (std::size_t index = 0; index < digits.size(); ++index) {
    if (index > 0 && (digits.size() - index) % 3 == 0) text += ',';
    text += digits[index];
  }
  return text;
}

bool write_text(const fs::path& path, const std::string& text, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

std::string lines_of(const std::string& header, const std::vector<std::string>& lines) {
  std::string text = header.empty() ? "" : header + "\n";
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// run_index - "program list", which must exit 0.
bool run_index(const std::string& program, const fs::path& list, std::string* error) {
  const pid_t child = fork();
  if (child < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (child == 0) {
    execl(program.c_str(), program.c_str(), list.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      *error = std::string("waitpid: ") + std::strerror(errno);
      return false;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = program + " " + list.string() + " failed";
    return false;
  }
  return true;
}

// change_after_indexing - do to an indexed list what the data set's fate says.
bool change_after_indexing(PatternListFate fate, const fs::path& list, std::string* error) {
  std::error_code failure;
  if (fate == PatternListFate::copied) {
    // As cp -a and a rename over the list: the bytes and the modification time stay.
    const fs::path copy = list.string() + ".copy";
    const auto modified = fs::last_write_time(list, failure);
    if (!failure) fs::copy_file(list, copy, fs::copy_options::overwrite_existing, failure);
    if (!failure) fs::last_write_time(copy, modified, failure);
    if (!failure) fs::rename(copy, list, failure);
  } else if (fate == PatternListFate::edited) {
    std::ofstream out(list, std::ios::binary | std::ios::app);
    out << "# edited by hand\n";
    out.close();
    if (!out) failure = std::make_error_code(std::errc::io_error);
  }
  if (failure) *error = "cannot change " + list.string() + " after indexing: " + failure.message();
  return !failure;
}

bool write_pattern_lists(const DataSetSpec& set, const fs::path& directory,
                         const std::vector<std::string>& published,
                         const std::string& index_program, std::string* error) {
  const fs::path dyna = directory / "dyna.regexes";
  const fs::path spam = directory / "spam.regexes";
  if (!write_text(dyna,
                  lines_of("# Dynamic-host expressions (benchmark data)",
                           dynamic_host_patterns(published, set.dyna_lines, kDynamicSeed)),
                  error) ||
      !write_text(spam,
                  lines_of("# Abused host names (benchmark data)",
                           abused_host_patterns(set.spam_lines, kAbusedSeed)),
                  error)) {
    return false;
  }
  if (index_program.empty()) return true;
  if (!run_index(index_program, dyna, error) || !run_index(index_program, spam, error)) {
    return false;
  }
  for (const fs::path& list : {dyna, spam}) {
    if (!change_after_indexing(set.pattern_fate, list, error)) return false;
  }
  return true;
}

bool write_admin_lists(const DataSetSpec& set, const fs::path& directory, std::string* error) {
  const int entries = set.list_entries;
  return write_text(directory / "from_whitelist",
                    lines_of("", address_list_entries(entries, kListSeeds[0], "")), error) &&
         write_text(directory / "exempt_ips",
                    lines_of("", ip_list_entries(entries, kListSeeds[1], kExemptIp)), error) &&
         write_text(directory / "exempt_users",
                    lines_of("", address_list_entries(entries, kListSeeds[2], "")), error) &&
         write_text(directory / "blocked_ips",
                    lines_of("", ip_list_entries(entries, kListSeeds[3], "")), error) &&
         write_text(directory / "blocked_from",
                    lines_of("", address_list_entries(entries, kListSeeds[4], kBlockedSender)),
                    error);
}

std::string set_description(const DataSetSpec& set, std::uintmax_t map_bytes,
                            std::size_t published_count) {
  std::ostringstream text;
  const std::size_t published_used =
      std::min(published_count, static_cast<std::size_t>(set.dyna_lines));
  const std::string size = map_bytes < 1024 * 1024
                               ? "under 1 MiB"
                               : grouped((map_bytes + 512 * 1024) / (1024 * 1024)) + " MiB";
  text << set.maps.size() << " TARN map" << (set.maps.size() == 1 ? "" : "s") << " (" << size
       << "), dyna.regexes "
       << grouped(static_cast<std::uintmax_t>(set.dyna_lines)) << " lines ("
       << grouped(published_used) << " published), spam.regexes "
       << grouped(static_cast<std::uintmax_t>(set.spam_lines)) << " lines, admin lists "
       << grouped(static_cast<std::uintmax_t>(set.list_entries)) << " entries, forgery table "
       << grouped(static_cast<std::uintmax_t>(set.forgery_domains)) << " domains";
  if (set.pattern_fate == PatternListFate::copied) text << ", pattern lists copied after indexing";
  if (set.pattern_fate == PatternListFate::edited) text << ", pattern lists edited after indexing";
  return text.str();
}

bool write_set(const DataSetSpec& set, const fs::path& root, const std::vector<std::string>& published,
               const std::string& index_program, std::string* error) {
  const fs::path korvex = root / "sets" / set.name / "etc" / "korvex";
  std::error_code failure;
  fs::create_directories(korvex / "control", failure);
  if (!failure) fs::create_directories(korvex / "dynaregex", failure);
  if (failure) {
    *error = "cannot create " + korvex.string() + ": " + failure.message();
    return false;
  }
  std::vector<std::string> rules(std::begin(kRulesOffByDefault), std::end(kRulesOffByDefault));
  return write_text(korvex / "control" / "tarn.enabled", lines_of("", set.maps), error) &&
         write_text(korvex / "control" / "rules.enabled", lines_of("", rules), error) &&
         write_text(korvex / "control" / "valid_domain_ips",
                    forgery_table(set.forgery_domains, kForgerySeed), error) &&
         write_admin_lists(set, korvex, error) &&
         write_pattern_lists(set, korvex / "dynaregex", published, index_program, error);
}

std::vector<std::string> numbered(const std::string& prefix, int first, int last) {
  std::vector<std::string> names;
  for (int number = first; number <= last; ++number) {
    char name[32];
    (void)std::snprintf(name, sizeof name, "%s%02d", prefix.c_str(), number);
    names.emplace_back(name);
  }
  return names;
}

}  // namespace

GeneratorPlan full_plan() {
  GeneratorPlan plan;
  // About 256,000 listed addresses in 3,200 /16s (25 MiB of bitmaps), 24 whole /16s and a
  // whole /8 per map: the density of a busy public list.
  for (const auto& name : numbered("rbl", 1, 20)) {
    const auto seed = static_cast<std::uint32_t>(1000 + plan.maps.size());
    plan.maps.push_back({name, seed, 3200, 80, 24, 1, plan.maps.empty()});
  }
  for (const auto& name : numbered("small", 1, 5)) {
    const auto seed = static_cast<std::uint32_t>(1000 + plan.maps.size());
    plan.maps.push_back({name, seed, 4, 50, 1, 0, false});
  }
  const auto five = numbered("rbl", 1, 5);
  plan.sets = {
      {"full", five, 2000, 500, 500, 1000},
      {"patterns-100", five, 100, 100, 500, 1000},
      {"patterns-1000", five, 1000, 1000, 500, 1000},
      {"patterns-10000", five, 10000, 10000, 500, 1000},
      {"maps-1", numbered("rbl", 1, 1), 2000, 500, 500, 1000},
      {"maps-20", numbered("rbl", 1, 20), 2000, 500, 500, 1000},
      {"maps-small", numbered("small", 1, 5), 2000, 500, 500, 1000},
      {"lists-10", five, 2000, 500, 10, 1000},
      {"patterns-copied", five, 2000, 500, 500, 1000, PatternListFate::copied},
      {"patterns-edited", five, 2000, 500, 500, 1000, PatternListFate::edited},
  };
  return plan;
}

GeneratorPlan small_plan() {
  GeneratorPlan plan;
  plan.maps = {{"rbl01", 1000, 6, 20, 1, 0, true},
               {"rbl02", 1001, 6, 20, 1, 0, false},
               {"small01", 1002, 1, 5, 0, 0, false}};
  plan.sets = {
      {"full", {"rbl01", "rbl02"}, 40, 20, 20, 20},
      {"patterns-100", {"rbl01", "rbl02"}, 100, 100, 20, 20},
      {"maps-small", {"small01"}, 40, 20, 20, 20},
  };
  return plan;
}

std::vector<std::string> published_expressions(const std::string& table_text) {
  std::vector<std::string> expressions;
  std::istringstream lines(table_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.front() != '/') continue;
    const std::size_t end = line.find_first_of(" \t");
    const std::string rule = line.substr(0, end);
    if (rule.size() < 3 || rule.back() != '/') continue;
    expressions.push_back(rule.substr(1, rule.size() - 2));
  }
  return expressions;
}

std::vector<std::string> dynamic_host_patterns(const std::vector<std::string>& published,
                                               int count, std::uint32_t seed) {
  const auto wanted = static_cast<std::size_t>(std::max(count, 0));
  std::vector<std::string> patterns(published.begin(),
                                    published.begin() + static_cast<std::ptrdiff_t>(
                                                            std::min(wanted, published.size())));
  Random random(seed);
  while (patterns.size() < wanted) patterns.push_back(dynamic_pattern(random));
  return patterns;
}

std::vector<std::string> abused_host_patterns(int count, std::uint32_t seed) {
  Random random(seed);
  std::vector<std::string> patterns;
  for (int index = 0; index < count; ++index) patterns.push_back(abused_pattern(random));
  return patterns;
}

std::vector<std::string> ip_list_entries(int count, std::uint32_t seed, const std::string& last) {
  Random random(seed);
  std::vector<std::string> entries;
  for (int index = 0; index < count; ++index) entries.push_back(random_address(random));
  if (!last.empty() && !entries.empty()) entries.back() = last;
  return entries;
}

std::vector<std::string> address_list_entries(int count, std::uint32_t seed,
                                              const std::string& last) {
  Random random(seed);
  std::vector<std::string> entries;
  for (int index = 0; index < count; ++index) {
    entries.push_back(address_entry(random, index % 4 == 0));
  }
  if (!last.empty() && !entries.empty()) entries.back() = last;
  return entries;
}

std::string forgery_table(int domains, std::uint32_t seed) {
  Random random(seed);
  std::string table = "# Domains that send only from their own networks (benchmark data)\n";
  for (int index = 1; index <= domains; ++index) table += forgery_line(random, index) + "\n";
  return table;
}

std::vector<unsigned char> build_map(const MapSpec& layout) {
  Random random(layout.seed);
  tarn_map_builder builder;
  for (int count = 0; count < layout.slash16_count; ++count) {
    const std::uint32_t prefix = (listed_first_octet(random) << 24) | (pick(random, 0, 255) << 16);
    for (int address = 0; address < layout.addresses_per_slash16; ++address) {
      builder.add({prefix | (pick(random, 0, 255) << 8) | pick(random, 0, 255), 32});
    }
  }
  for (int count = 0; count < layout.whole_slash16s; ++count) {
    builder.add({(listed_first_octet(random) << 24) | (pick(random, 0, 255) << 16), 16});
  }
  for (int count = 0; count < layout.whole_slash8s; ++count) {
    builder.add({listed_first_octet(random) << 24, 8});
  }
  if (layout.lists_tarn_peer) {
    tarn_block block{};
    if (tarn_parse_block(kTarnBlock, &block)) builder.add(block);
  }
  return builder.serialize();
}

bool write_plan(const GeneratorPlan& plan, const std::string& root, const std::string& published,
                const std::string& index_program, std::string* error) {
  const fs::path top(root);
  std::error_code failure;
  // Only what an earlier run wrote is replaced; nothing else under root is touched.
  fs::remove_all(top / "tarn", failure);
  if (!failure) fs::remove_all(top / "sets", failure);
  if (!failure) fs::create_directories(top / "tarn", failure);
  if (failure) {
    *error = "cannot prepare " + root + ": " + failure.message();
    return false;
  }
  std::map<std::string, std::uintmax_t> map_bytes;
  for (const auto& map : plan.maps) {
    const auto bytes = build_map(map);
    if (!tarn_write_map_file((top / "tarn" / map.name).string(), bytes, error)) return false;
    map_bytes[map.name] = bytes.size();
  }
  const auto expressions = published_expressions(published);
  std::string index;
  for (const auto& set : plan.sets) {
    if (!write_set(set, top, expressions, index_program, error)) return false;
    std::uintmax_t bytes = 0;
    for (const auto& name : set.maps) bytes += map_bytes[name];
    index += set.name + "\t" + set_description(set, bytes, expressions.size()) + "\n";
  }
  return write_text(top / "sets.txt", index, error);
}

}  // namespace korvex::bench
