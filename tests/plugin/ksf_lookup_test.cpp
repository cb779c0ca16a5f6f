// The forgery-table lookup the rule makes (only the lines where the sender's domain occurs
// are parsed) against the verdict of the whole table, parsed.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "plugin/checks/known_sender_forgery_funcs.h"
#include "plugin/checks/known_sender_forgery_internal.h"
#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

class Draw {
 public:
  explicit Draw(unsigned seed) : engine_(seed) {}
  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_);
  }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }

 private:
  std::mt19937 engine_;
};

const std::vector<std::string> kDomains = {"bank.example",
                                           "Bank.Example",
                                           " BANK.example\t",
                                           "shop.example",
                                           "x.example",
                                           "bad_domain",
                                           "",
                                           "#bank.example"};
const std::vector<std::string> kSetPieces = {
    "192.0.2.0/24", "198.51.100.7",   "192.0.2.1/24",       "10.0.0.0/8",
    "0.0.0.0/0",    "garbage",        " 203.0.113.128/25 ", "",
    "192.0.2.0/33", "198.51.100.0/31"};

// One table line in any of the shapes the parser tells apart: good and bad domains and
// sets, doubled and extra colons, comments, blanks, carriage returns.
std::string table_line(Draw& draw) {
  switch (draw.below(10)) {
    case 0:
      return "";
    case 1:
      return "# " + draw.pick(kDomains) + ": 192.0.2.0/24";
    case 2:
      return draw.pick(kDomains) + ": 192.0.2.0/24: 10.0.0.0/8";
    default:
      break;
  }
  std::string set;
  for (std::size_t n = 1 + draw.below(3); n > 0; --n) {
    set += (set.empty() ? "" : ",") + draw.pick(kSetPieces);
  }
  const char* colon = draw.below(5) == 0 ? "::" : ":";
  const char* end = draw.below(4) == 0 ? "\r" : "";
  return (draw.below(6) == 0 ? ":" : "") + draw.pick(kDomains) + colon + set + end;
}

// What the whole table says about ip sending for the domain: the first record stored under
// it decides; a table that does not parse, or no record, decides nothing (1).
int whole_table_verdict(const std::string& ip, std::string domain, const std::string& path) {
  while (!domain.empty() && domain.back() == ' ') domain.pop_back();
  for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto table = ksf_get_domain_ip_sets_from_file(path.c_str());
  if (!table) return 1;
  for (const ksf_domain_ips& record : *table) {
    if (record.domain == domain) return __ksf_is_ip_in_ranges(ip.c_str(), record.ip_set) ? 1 : 0;
  }
  return 1;
}

TEST(KsfLookup, OnlyTheSendersLinesDecideJustAsTheWholeTableDoes) {
  testing::ScratchDir dir;
  const std::string path = dir / "valid_domain_ips";
  const std::vector<std::string> ips = {"192.0.2.9", "198.51.100.7",  "198.51.100.1",
                                        "10.1.1.1",  "203.0.113.200", "203.0.113.1"};
  const std::vector<std::string> senders = {"bank.example", "BANK.EXAMPLE ", "shop.example",
                                            "x.example", "absent.example"};
  Draw draw(7);
  int compared = 0;
  int refused = 0;
  for (int table = 0; table < 400; ++table) {
    std::string text;
    for (std::size_t n = draw.below(8); n > 0; --n) text += table_line(draw) + "\n";
    testing::write_file(path, text);
    for (const std::string& sender : senders) {
      for (const std::string& ip : ips) {
        const int by_lines =
            ksf_check_domain_to_ip_restriction(ip.c_str(), sender.c_str(), path.c_str());
        const int whole_table = whole_table_verdict(ip, sender, path);
        ++compared;
        if (whole_table == 0) ++refused;
        ASSERT_EQ(by_lines, whole_table) << "table:\n"
                                         << text << "sender " << sender << " ip " << ip;
      }
    }
  }
  std::printf("forgery lookups compared: %d, refused: %d\n", compared, refused);
  EXPECT_GT(refused, compared / 20);
  EXPECT_LT(refused, compared / 2);
}

// The plugin's lookup reads the table in blocks and searches it in windows: a sender's line
// wherever it falls across an edge of either, in any case, is still found, and only the
// first line for it counts.
TEST(KsfLookup, SendersLineIsFoundWhereverItLiesInALongTable) {
  testing::ScratchDir dir;
  const std::string path = dir / "valid_domain_ips";
  int compared = 0;
  for (const std::size_t edge :
       {std::size_t{4096 * 2}, std::size_t{16384}, std::size_t{16384 * 2}}) {
    for (std::size_t shift = 0; shift < 40; ++shift) {
      for (const char* written : {"bank.example", "BaNk.ExAmPlE"}) {
        // Filler lines, then blanks up to where the sender's line is to start.
        const std::size_t line_start = edge - 20 + shift;
        const std::string filler = "filler-domain.example:10.0.0.0/8\n";
        std::string text;
        while (text.size() + filler.size() + 1 < line_start) text += filler;
        text += std::string(line_start - 1 - text.size(), ' ') + "\n";
        text += std::string(written) + ":192.0.2.0/24\nbank.example:10.0.0.0/8\n";
        testing::write_file(path, text);
        for (const char* ip : {"192.0.2.9", "10.1.1.1"}) {
          const int by_lines = ksf_check_domain_to_ip_restriction(ip, "bank.example", path.c_str());
          const int whole_table = whole_table_verdict(ip, "bank.example", path);
          ASSERT_EQ(by_lines, whole_table) << "shift " << shift << " ip " << ip;
          ASSERT_EQ(by_lines, std::string(ip) == "192.0.2.9" ? 1 : 0) << "shift " << shift;
          ++compared;
        }
      }
    }
  }
  EXPECT_EQ(compared, 480);
}

}  // namespace
}  // namespace korvex
