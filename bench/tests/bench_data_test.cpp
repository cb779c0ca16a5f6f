// The generator: its data must be what the runner's sessions rely on (the clean peer listed
// nowhere, the others listed where they should be), valid for the plugin's parsers, and the
// same bytes on every run.
#include <gtest/gtest.h>
#include <regex.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "lists/list_files.h"
#include "lists/list_paths.h"
#include "plugin/checks/known_sender_forgery_funcs.h"
#include "tarn/tarn_map.h"

namespace korvex::bench {
namespace {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "korvex-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The expressions of patterns that do not compile as the plugin compiles them, or that
// match subject.
std::vector<std::string> faulty_or_matching(const std::vector<std::string>& patterns,
                                            const std::string& subject) {
  std::vector<std::string> faulty;
  for (const auto& pattern : patterns) {
    regex_t compiled;
    if (regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
      faulty.push_back("does not compile: " + pattern);
      continue;
    }
    if (regexec(&compiled, subject.c_str(), 0, nullptr, 0) == 0) {
      faulty.push_back("matches: " + pattern);
    }
    regfree(&compiled);
  }
  return faulty;
}

TEST(PublishedExpressions, AreTheTextBetweenTheSlashesOfEachRuleLine) {
  const std::string table =
      "# comment /not/ a rule\n"
      "\n"
      "if /dsl|dyn/\n"
      "/^dsl[0-9]+\\.example\\.net$/\tREJECT  Dynamic - Please relay via ISP\n"
      "/:/ \t\t\tDUNNO\n"
      "/unterminated\tREJECT\n"
      "//\tREJECT empty\n"
      "endif\n"
      "/^pool-[0-9]+\\.x\\.de$/         REJECT\n";
  EXPECT_EQ(published_expressions(table),
            (std::vector<std::string>{"^dsl[0-9]+\\.example\\.net$", ":", "^pool-[0-9]+\\.x\\.de$"}));

  std::ifstream in(KORVEX_PUBLISHED_LIST);
  if (!in) GTEST_SKIP() << "no published list at " << KORVEX_PUBLISHED_LIST;
  std::ostringstream text;
  text << in.rdbuf();
  const auto published = published_expressions(text.str());
  EXPECT_EQ(published.size(), 1528u);
  EXPECT_EQ(faulty_or_matching(published, kCleanHost), std::vector<std::string>{});
}

TEST(GeneratedPatterns, FollowThePublishedOnesCompileMissTheCleanHostAndNest) {
  const std::vector<std::string> published = {"^dsl-[0-9]+\\.a\\.net$", "pool[0-9]+\\.b\\.de"};
  const auto dynamic = dynamic_host_patterns(published, 3000, 3001);
  ASSERT_EQ(dynamic.size(), 3000u);
  EXPECT_EQ(std::vector<std::string>(dynamic.begin(), dynamic.begin() + 2), published);
  EXPECT_EQ(dynamic_host_patterns(published, 1, 3001), std::vector<std::string>{published[0]});
  // A shorter list is the start of a longer one, so the scaling sets differ only in length.
  const auto shorter = dynamic_host_patterns(published, 100, 3001);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), dynamic.begin()));
  EXPECT_EQ(faulty_or_matching(dynamic, kCleanHost), std::vector<std::string>{});
  const std::size_t anchored = static_cast<std::size_t>(
      std::count_if(dynamic.begin(), dynamic.end(), [](const auto& p) { return p[0] == '^'; }));
  EXPECT_GT(anchored, 1000u);
  EXPECT_LT(anchored, 2900u);

  const auto abused = abused_host_patterns(1000, 3002);
  ASSERT_EQ(abused.size(), 1000u);
  EXPECT_EQ(abused, abused_host_patterns(1000, 3002));
  EXPECT_EQ(faulty_or_matching(abused, kCleanHost), std::vector<std::string>{});
}

TEST(GeneratedLists, HoldAQuarterWildcardsAndMatchOnlyTheSessionsMeantToMatch) {
  const auto senders = address_list_entries(500, 2005, kBlockedSender);
  ASSERT_EQ(senders.size(), 500u);
  EXPECT_EQ(std::count_if(senders.begin(), senders.end(),
                          [](const auto& entry) { return entry.find('*') != std::string::npos; }),
            125);
  EXPECT_EQ(senders.back(), kBlockedSender);
  const auto addresses = ip_list_entries(500, 2002, kExemptIp);
  ASSERT_EQ(addresses.size(), 500u);
  EXPECT_EQ(addresses.back(), kExemptIp);

  ScratchDir scratch;
  std::string error;
  // The full data set's lists, without its maps.
  const GeneratorPlan lists_only{{}, {full_plan().sets.front()}};
  ASSERT_TRUE(write_plan(lists_only, scratch.path(), "", "", &error)) << error;
  const std::string korvex = scratch.path() + "/sets/full/etc/korvex";
  const std::optional<std::string> clean_ip = kCleanIp;
  const std::optional<std::string> clean_sender = kCleanSender;
  const std::optional<std::string> recipient = kRecipient;
  std::vector<int> matching;
  for (int list = kFromWhitelistList; list <= kBlockedFromList; ++list) {
    if (session_in_list(clean_ip, clean_sender, recipient, list, korvex) != 0) {
      matching.push_back(list);
    }
  }
  EXPECT_EQ(matching, std::vector<int>{});
  EXPECT_EQ(session_in_list(clean_ip, std::string(kBlockedSender), recipient, kBlockedFromList,
                            korvex),
            1);
  EXPECT_EQ(session_in_list(std::string(kExemptIp), clean_sender, recipient, kExemptIpsList,
                            korvex),
            1);
}

TEST(GeneratedForgeryTable, ParsesWholeAndLeavesTheCleanSenderUnrestricted) {
  ScratchDir scratch;
  const std::string path = scratch.path() + "/valid_domain_ips";
  std::ofstream(path) << forgery_table(1000, 4001);
  const auto table = ksf_get_domain_ip_sets_from_file(path.c_str());
  ASSERT_TRUE(table.has_value());
  ASSERT_EQ(table->size(), 1000u);
  std::size_t networks = 0;
  for (const auto& entry : *table) networks += entry.ip_set.size();
  // Every block and address of every line parsed: none was dropped for stray host bits.
  std::size_t written = 0;
  std::istringstream lines(forgery_table(1000, 4001));
  std::string line;
  while (std::getline(lines, line)) {
    if (line[0] != '#') written += static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1;
  }
  EXPECT_EQ(networks, written);
  EXPECT_EQ(ksf_check_domain_to_ip_restriction(kCleanIp, "partner.example", path.c_str()), 1);
}

TEST(GeneratedPlan, WritesTheSameTreeEveryTimeWithTheSessionsPeersWhereTheyBelong) {
  ScratchDir first;
  ScratchDir second;
  std::string error;
  ASSERT_TRUE(write_plan(small_plan(), first.path(), "", "", &error)) << error;
  ASSERT_TRUE(write_plan(small_plan(), second.path(), "", "", &error)) << error;
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(first.path())) {
    if (!entry.is_regular_file()) continue;
    const auto relative = fs::relative(entry.path(), first.path());
    files.push_back(relative.string());
    EXPECT_EQ(read_text(entry.path()), read_text(fs::path(second.path()) / relative))
        << relative;
  }
  EXPECT_EQ(files.size(), 1u + 3u + 3u * 10u);

  EXPECT_EQ(read_text(first.path() + "/sets.txt"),
            "full\t2 TARN maps (under 1 MiB), dyna.regexes 40 lines (0 published), spam.regexes 20 "
            "lines, admin lists 20 entries, forgery table 20 domains\n"
            "patterns-100\t2 TARN maps (under 1 MiB), dyna.regexes 100 lines (0 published), "
            "spam.regexes 100 lines, admin lists 20 entries, forgery table 20 domains\n"
            "maps-small\t1 TARN map (under 1 MiB), dyna.regexes 40 lines (0 published), spam.regexes "
            "20 lines, admin lists 20 entries, forgery table 20 domains\n");
  const std::string control = first.path() + "/sets/full/etc/korvex/control/";
  EXPECT_EQ(read_text(control + "tarn.enabled"), "rbl01\nrbl02\n");
  EXPECT_EQ(read_text(control + "rules.enabled"),
            "resolve_helo_domain\nvalid_from_domain\nknown_sender_forgery\n");

  const std::string tarn = first.path() + "/tarn/";
  const CheckContext checks;
  EXPECT_EQ(lookupMapFile(checks.system_log, tarn + "rbl01", kTarnIp), 1);
  EXPECT_EQ(lookupMapFile(checks.system_log, tarn + "rbl02", kTarnIp), 0);
  for (const char* map : {"rbl01", "rbl02", "small01"}) {
    EXPECT_EQ(lookupMapFile(checks.system_log, tarn + map, kCleanIp), 0) << map;
    EXPECT_EQ(lookupMapFile(checks.system_log, tarn + map, kExemptIp), 0) << map;
  }
}

TEST(GeneratedMaps, AreDenseWithWholeBlocks) {
  const auto plan = full_plan();
  const auto bytes = build_map(plan.maps.front());
  // 3,200 /16 bitmaps of 8 KiB: the size of a busy public list.
  EXPECT_GT(bytes.size(), 24u * 1024 * 1024);
  EXPECT_LT(bytes.size(), 30u * 1024 * 1024);
  std::size_t whole_slash8s = 0;
  for (std::size_t octet = 0; octet < 256; ++octet) {
    const std::uint32_t word = bytes[octet * 4] | (bytes[octet * 4 + 1] << 8) |
                               (bytes[octet * 4 + 2] << 16) |
                               (static_cast<std::uint32_t>(bytes[octet * 4 + 3]) << 24);
    if (word == 0xFFFFFFFFu) ++whole_slash8s;
  }
  EXPECT_EQ(whole_slash8s, 1u);
  EXPECT_EQ(bytes, build_map(plan.maps.front()));
}

}  // namespace
}  // namespace korvex::bench
