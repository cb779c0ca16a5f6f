// bench_data - the benchmark's data generator: a realistic, reproducible configuration for
// korvex-plesk (TARN maps, pattern lists, administrator lists, forgery table, control files)
// and the sessions the runner plays against it.
//
// Everything is drawn from std::mt19937 with fixed seeds through uniform integer
// distributions only, so the same plan writes the same bytes on every run. A generated
// tree looks like
//   DATA/tarn/<map>                      every TARN map of the plan
//   DATA/sets/<set>/etc/korvex/...       one configuration per data set
//   DATA/sets.txt                        "<set><TAB><description>", one line per set
// The runner binds DATA/tarn over /var/cache/tarn and a set's etc/korvex over /etc/korvex.
//
// Exports: the session constants, MapSpec, DataSetSpec, GeneratorPlan, full_plan,
// small_plan, published_expressions, dynamic_host_patterns, abused_host_patterns,
// ip_list_entries, address_list_entries, forgery_table, build_map, write_plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvex::bench {

// The peers of the benchmark sessions. Generated data never lists the clean peer, lists the
// exempt peer on exempt_ips, the blocked sender on blocked_from and the TARN peer on the
// maps that say so (the first of every plan).
inline constexpr const char* kCleanIp = "192.0.2.10";
inline constexpr const char* kCleanHost = "mail.partner.example";
inline constexpr const char* kCleanSender = "alice@partner.example";
inline constexpr const char* kRecipient = "bob@demo.example";
inline constexpr const char* kBlockedSender = "offers@spam.example";
inline constexpr const char* kExemptIp = "198.51.100.7";
inline constexpr const char* kExemptHost = "backup-mx.demo.example";
inline constexpr const char* kTarnIp = "203.0.113.5";
inline constexpr const char* kTarnHost = "mx.listed.example";
inline constexpr const char* kTarnSender = "news@listed.example";
// The block the TARN peer lies in, listed on the first map.
inline constexpr const char* kTarnBlock = "203.0.113.0/24";

// The rules that are off by default; the generated rules.enabled switches them on.
inline constexpr const char* kRulesOffByDefault[] = {"resolve_helo_domain", "valid_from_domain",
                                                     "known_sender_forgery"};

// One TARN map: slash16_count random /16s with addresses_per_slash16 random addresses each,
// plus whole /16 and whole /8 blocks; lists_tarn_peer adds kTarnBlock.
struct MapSpec {
  std::string name;
  std::uint32_t seed;
  int slash16_count;
  int addresses_per_slash16;
  int whole_slash16s;
  int whole_slash8s;
  bool lists_tarn_peer;
};

// What happens to the pattern lists after they are indexed: nothing, a copy with cp -a
// takes their place (same bytes, another inode), or a comment line is added by hand.
enum class PatternListFate { indexed, copied, edited };

// One configuration: which maps tarn.enabled names and how long the lists are.
struct DataSetSpec {
  std::string name;
  std::vector<std::string> maps;
  int dyna_lines;
  int spam_lines;
  int list_entries;
  int forgery_domains;
  PatternListFate pattern_fate = PatternListFate::indexed;
};

struct GeneratorPlan {
  std::vector<MapSpec> maps;
  std::vector<DataSetSpec> sets;  // the first one is the full data set
};

// full_plan - the measured configuration ("full") and the scaling sets beside it.
GeneratorPlan full_plan();
// small_plan - the same shape in miniature, for the smoke test.
GeneratorPlan small_plan();

// published_expressions - the expressions between the slashes of the "/REGEX/ ACTION" lines
// of a lookup table such as fqrdns.pcre; comments and other lines are left out.
std::vector<std::string> published_expressions(const std::string& table_text);

// dynamic_host_patterns - count lines: the published expressions first, then generated
// dynamic-host expressions (dsl, dyn, pool, cable, ppp ... with dashed or dotted octets).
std::vector<std::string> dynamic_host_patterns(const std::vector<std::string>& published,
                                               int count, std::uint32_t seed);
// abused_host_patterns - count generated expressions for abused bulk-mail host names.
std::vector<std::string> abused_host_patterns(int count, std::uint32_t seed);
// ip_list_entries - count dotted quads, last the given one when it is not empty.
std::vector<std::string> ip_list_entries(int count, std::uint32_t seed, const std::string& last);
// address_list_entries - count addresses, every fourth a wildcard; last as above.
std::vector<std::string> address_list_entries(int count, std::uint32_t seed,
                                              const std::string& last);
// forgery_table - a header comment and one "domain:block,block,address" line per domain.
std::string forgery_table(int domains, std::uint32_t seed);
// build_map - the bytes of the map file for layout.
std::vector<unsigned char> build_map(const MapSpec& layout);

// write_plan - write the whole tree below root. published is the content of fqrdns.pcre
// (empty when it is not at hand); index_program, when not empty, is run as
// "index_program <list>" after each pattern list is written. false with *error set when
// something cannot be written.
bool write_plan(const GeneratorPlan& plan, const std::string& root, const std::string& published,
                const std::string& index_program, std::string* error);

}  // namespace korvex::bench
