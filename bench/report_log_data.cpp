// report_log_data - the korvex-report benchmark's data. See report_log_data.h.
#include "bench/report_log_data.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace korvex::bench {

namespace {

// 2026-11-01 00:00 UTC.
constexpr std::uint32_t kFirstMidnight = 1793491200;
constexpr int kDays = 30;
constexpr std::size_t kPeers = 60000;
constexpr std::size_t kDomains = 20000;

constexpr std::array<const char*, 12> kRefusals = {"block_lists:bl.example",
                                                   "block_lists:bl.example,zen.example",
                                                   "block_lists:zen.example",
                                                   "ip_blacklist",
                                                   "from_blacklist",
                                                   "check_ip_reverse_dns",
                                                   "check_dynamic_reverse_dns",
                                                   "check_reverse_dns_list",
                                                   "valid_helo_domain",
                                                   "require_helo",
                                                   "resolve_helo_domain",
                                                   "known_sender_forgery"};
constexpr std::array<const char*, 3> kExemptions = {"IP_EXEMPT", "RCPT_EXEMPT", "FROM_WHITELIST"};
constexpr std::array<const char*, 3> kReportOnly = {
    "check_dynamic_reverse_dns", "check_reverse_dns_list", "known_sender_forgery"};
constexpr std::array<const char*, 2> kDeferrals = {"resolve_helo_domain", "valid_from_domain"};

struct Pools {
  std::vector<std::string> peers;
  std::vector<std::string> hosts;
  std::vector<std::string> domains;
};

int pick(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

Pools make_pools(std::mt19937& random) {
  Pools pools;
  char text[96];
  for (std::size_t i = 0; i < kPeers; ++i) {
    if (i % 10 == 9) {
      (void)std::snprintf(text, sizeof text, "2001:db8:%x::%x", pick(random, 0, 0xffff),
                          pick(random, 1, 0xffff));
    } else {
      (void)std::snprintf(text, sizeof text, "%d.%d.%d.%d", pick(random, 1, 223),
                          pick(random, 0, 255), pick(random, 0, 255), pick(random, 1, 254));
    }
    pools.peers.emplace_back(text);
    (void)std::snprintf(text, sizeof text, "mail%d.host%d.example", pick(random, 1, 99),
                        pick(random, 1, 50000));
    pools.hosts.emplace_back(text);
  }
  for (std::size_t i = 0; i < kDomains; ++i) {
    (void)std::snprintf(text, sizeof text, "sender%zu.example", i);
    pools.domains.emplace_back(text);
  }
  return pools;
}

void put_le32(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

ReportLogData report_log_data(std::size_t line_count) {
  std::mt19937 random(20261101);
  const Pools pools = make_pools(random);
  ReportLogData data;
  data.activity_lines.reserve(line_count * 190);
  data.counter_file.assign(500, '\0');
  std::array<std::array<std::uint32_t, 3>, kDays> counts{};
  char line[512];
  for (std::size_t index = 0; index < line_count; ++index) {
    const std::uint64_t second = index * (kDays * 86400ULL) / (line_count == 0 ? 1 : line_count);
    const int day = static_cast<int>(second / 86400);
    const int in_day = static_cast<int>(second % 86400);
    const std::size_t peer = static_cast<std::size_t>(pick(random, 0, kPeers - 1));
    const int roll = pick(random, 0, 99);
    std::string verdict;
    int counted = -1;
    if (roll < 55) {
      verdict = "HAM";
      counted = 0;
    } else if (roll < 90) {
      verdict = std::string("SPAM[") +
                kRefusals[static_cast<std::size_t>(pick(random, 0, kRefusals.size() - 1))] + "]";
      counted = 1;
    } else if (roll < 97) {
      verdict = kExemptions[static_cast<std::size_t>(pick(random, 0, kExemptions.size() - 1))];
      counted = 2;
    } else if (roll < 99) {
      verdict = std::string("REPORT[") +
                kReportOnly[static_cast<std::size_t>(pick(random, 0, kReportOnly.size() - 1))] +
                "]";
    } else {
      verdict = std::string("TEMPFAIL[") +
                kDeferrals[static_cast<std::size_t>(pick(random, 0, kDeferrals.size() - 1))] + "]";
    }
    if (counted >= 0) ++counts[static_cast<std::size_t>(day)][static_cast<std::size_t>(counted)];
    if (counted == 0) ++data.ham;
    if (counted == 1) ++data.spam;
    if (counted == 2) ++data.exempt;
    const std::string& domain =
        pools.domains[static_cast<std::size_t>(pick(random, 0, kDomains - 1))];
    const int written = std::snprintf(
        line, sizeof line,
        "2026-11-%02d %02d:%02d:%02d korvex-plesk[%d]: %s: mua=0,ip=[%s:%s],helo=<%s>,"
        "from=<user%d@%s>,rcpt=<user%d@demo.example>\n",
        day + 1, in_day / 3600, in_day / 60 % 60, in_day % 60, pick(random, 1000, 4000000),
        verdict.c_str(), pools.peers[peer].c_str(), pools.hosts[peer].c_str(),
        pools.hosts[peer].c_str(), pick(random, 1, 9999), domain.c_str(), pick(random, 1, 500));
    if (written > 0) data.activity_lines.append(line, static_cast<std::size_t>(written));
  }
  for (int day = 0; day < kDays; ++day) {
    const auto offset = static_cast<std::size_t>(4 + 16 * day);
    put_le32(&data.counter_file, offset, kFirstMidnight + static_cast<std::uint32_t>(day) * 86400);
    for (std::size_t kind = 0; kind < 3; ++kind) {
      put_le32(&data.counter_file, offset + 4 + 4 * kind,
               counts[static_cast<std::size_t>(day)][kind]);
    }
  }
  return data;
}

}  // namespace korvex::bench
