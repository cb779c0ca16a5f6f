// Tests of the forgery table parser and the known_sender_forgery rule.
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "plugin/checks/known_sender_forgery_funcs.h"
#include "plugin/checks/known_sender_forgery_internal.h"
#include "plugin/rule_table.h"
#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_dir.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::ScratchDir;

constexpr std::uint32_t ip4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(KsfTable, ParsesLinesKeepingWhatParsesInFileOrder) {
  const char* text =
      "# forgery table\n"
      "\n"
      "   \t\n"
      "  Bank.EXAMPLE : 192.0.2.0/24 , 198.51.100.7\r\n"
      "shop.example::203.0.113.128/25\n"
      "odd.example: 192.0.2.1/24, 192.0.2.0/33, 0.0.0.0/0, 10.0.0.1 # backup, 10.9.0.0/16\n"
      "dropped.example: 192.0.2.1/24, mx.dropped.example\n"
      "extra.example: 192.0.2.0/24: more\n"
      "no_such_domain: 192.0.2.0/24\n"
      "bank.example: 10.0.0.0/8\n"
      "wide.example: 128.0.0.0/1, 10.1.2.3/32, 10.0.0.0/+8junk\n";
  const auto table = __ksf_get_domain_ip_sets(text);
  ASSERT_TRUE(table.has_value());
  const ksf_table expected{
      {"bank.example", {{ip4(192, 0, 2, 0), 24}, {ip4(198, 51, 100, 7), 32}}},
      {"shop.example", {{ip4(203, 0, 113, 128), 25}}},
      {"odd.example", {{ip4(10, 9, 0, 0), 16}}},
      {"bank.example", {{ip4(10, 0, 0, 0), 8}}},
      {"wide.example", {{ip4(128, 0, 0, 0), 1}, {ip4(10, 1, 2, 3), 32}, {ip4(10, 0, 0, 0), 8}}},
  };
  EXPECT_EQ(*table, expected);

  EXPECT_FALSE(__ksf_get_domain_ip_sets("# only a comment\n\nx.example: nonsense\n"));
  EXPECT_FALSE(__ksf_get_domain_ip_sets(""));
  EXPECT_FALSE(__ksf_get_domain_ip_sets(nullptr));
}

TEST(KsfTable, CidrBlocksNeedAValidAddressPrefixAndClearHostBits) {
  EXPECT_EQ(__ksf_parse_cidr("192.0.2.0/24"), (ksf_cidr{ip4(192, 0, 2, 0), 24}));
  EXPECT_EQ(__ksf_parse_cidr("192.0.2.9/32"), (ksf_cidr{ip4(192, 0, 2, 9), 32}));
  EXPECT_EQ(__ksf_parse_cidr("192.0.2.0/ 24"), (ksf_cidr{ip4(192, 0, 2, 0), 24}));
  for (const char* bad :
       {"192.0.2.1/24", "192.0.2.0/33", "192.0.2.0/-1", "0.0.0.0/0", "192.0.2.0", "192.0.2.0/24/8",
        "192.0.2/24", "192.0.2.0/99999999999", "10.0.0.0/x", ""}) {
    EXPECT_FALSE(__ksf_parse_cidr(bad)) << bad;
  }
  EXPECT_EQ(__ksf_parse_ip_or_cidr("198.51.100.7"), (ksf_cidr{ip4(198, 51, 100, 7), 32}));
  EXPECT_FALSE(__ksf_parse_ip_or_cidr("255.255.255.255"));
  EXPECT_FALSE(__ksf_parse_ip_or_cidr("mx.example"));
}

TEST(KsfTable, VerboseReportsEveryDroppedEntryAsAnError) {
  LogCapture capture;
  testing::VerboseDebug debug_off(false);
  ksf_set_verbose(1);
  const auto table = __ksf_get_domain_ip_sets(
      "a.example: 192.0.2.1/24, 192.0.2.0/24\nbad_domain: 192.0.2.0/24\nb.example: x\n");
  ksf_set_verbose(0);
  ASSERT_TRUE(table.has_value());
  EXPECT_EQ(testing::located_lines(capture),
            (std::vector<std::string>{
                "3 qv_dns ERROR qv_inet_addr(): Invalid argument",
                "3 known_sender_forgery_funcs ERROR __ksf_parse_ip_or_cidr(): Failed to parse "
                "[192.0.2.1/24] as CIDR or IP",
                "3 known_sender_forgery_funcs ERROR __ksf_parse_domain_ips_line(): Domain "
                "[bad_domain] is not valid",
                "3 known_sender_forgery_funcs ERROR __ksf_get_domain_ip_sets(): Ignored "
                "unparseable line [bad_domain: 192.0.2.0/24]",
                "3 known_sender_forgery_funcs ERROR __ksf_parse_ip_or_cidr(): Failed to parse "
                "[x] as CIDR or IP",
                "3 known_sender_forgery_funcs ERROR __ksf_get_domain_ip_sets(): Ignored "
                "unparseable line [b.example: x]",
            }));
  capture.clear();
  EXPECT_FALSE(__ksf_get_domain_ip_sets("b.example: x\n"));
  EXPECT_TRUE(capture.lines().empty());
}

TEST(KsfMatch, AddressesMatchTheirBlocksAndUnjudgeableInputPasses) {
  EXPECT_TRUE(__ksf_is_ip_in_cidr_block(ip4(192, 0, 2, 255), ip4(192, 0, 2, 0), 24));
  EXPECT_FALSE(__ksf_is_ip_in_cidr_block(ip4(192, 0, 3, 0), ip4(192, 0, 2, 0), 24));
  EXPECT_TRUE(__ksf_is_ip_in_cidr_block(ip4(10, 1, 2, 3), ip4(10, 1, 2, 3), 32));
  EXPECT_FALSE(__ksf_is_ip_in_cidr_block(ip4(10, 1, 2, 4), ip4(10, 1, 2, 3), 32));
  EXPECT_TRUE(__ksf_is_ip_in_cidr_block(ip4(203, 0, 113, 5), 0, 0));
  EXPECT_FALSE(__ksf_is_ip_in_cidr_block(0xFFFFFFFFU, 0, 0));
  EXPECT_FALSE(__ksf_is_ip_in_cidr_block(ip4(10, 0, 0, 1), ip4(10, 0, 0, 0), 33));

  const ksf_ip_set set{{0xFFFFFFFFU, 0}, {ip4(10, 0, 0, 0), -1}, {ip4(192, 0, 2, 0), 24}};
  EXPECT_TRUE(__ksf_is_ip_in_ranges("192.0.2.200", set));
  EXPECT_FALSE(__ksf_is_ip_in_ranges("10.0.0.1", set));
  EXPECT_TRUE(__ksf_is_ip_in_ranges("", set));
  EXPECT_TRUE(__ksf_is_ip_in_ranges("not-an-ip", set));
}

TEST(KsfMailFrom, DomainIsTakenAfterTheLastAtSignInLowerCase) {
  EXPECT_EQ(ksf_parse_mail_from_domain("Alice@Mail.Bank.EXAMPLE"), "mail.bank.example");
  EXPECT_FALSE(ksf_parse_mail_from_domain(""));
  EXPECT_FALSE(ksf_parse_mail_from_domain(nullptr));
  EXPECT_FALSE(ksf_parse_mail_from_domain("alice"));
  EXPECT_FALSE(ksf_parse_mail_from_domain("alice@192.0.2.1"));
  EXPECT_FALSE(ksf_parse_mail_from_domain("alice@bank"));
}

TEST(KsfTable, Ipv6EntriesShareLinesWithIpv4Ones) {
  const auto range = [](const char* text) { return ksf_cidr{0, 128, parse_ip_range(text)}; };
  const auto table = __ksf_get_domain_ip_sets(
      "mixed.example: 192.0.2.0/24, 2001:DB8::/32, 2001:db8:ffff::25\n"
      "v6.example: ::1\n"
      "mapped.example: ::ffff:198.51.100.7, ::ffff:203.0.113.0/120\n"
      "dropped.example: 2001:db8::1/32, 2001:db8::/129, 2001:db8::g\n"
      "extra.example: 2001:db8::/32: more\n"
      "old.example::192.0.2.9\n");
  ASSERT_TRUE(table.has_value());
  const ksf_table expected{
      {"mixed.example",
       {{ip4(192, 0, 2, 0), 24, {}}, range("2001:db8::/32"), range("2001:db8:ffff::25/128")}},
      {"v6.example", {range("::1/128")}},
      {"mapped.example", {{ip4(198, 51, 100, 7), 32, {}}, {ip4(203, 0, 113, 0), 24, {}}}},
      {"old.example", {{ip4(192, 0, 2, 9), 32, {}}}},
  };
  EXPECT_EQ(*table, expected);

  const ksf_ip_set& mixed = (*table)[0].ip_set;
  EXPECT_TRUE(__ksf_is_ip_in_ranges("2001:db8:1::9", mixed));
  EXPECT_FALSE(__ksf_is_ip_in_ranges("2001:db9::9", mixed));
  EXPECT_TRUE(__ksf_is_ip_in_ranges("192.0.2.9", mixed));
  EXPECT_TRUE(__ksf_is_ip_in_ranges("::ffff:192.0.2.9", mixed));
  EXPECT_FALSE(__ksf_is_ip_in_ranges("::ffff:192.0.3.9", mixed));
  // An IPv4 peer is never inside an IPv6 block, nor the other way round.
  EXPECT_FALSE(__ksf_is_ip_in_ranges("198.51.100.7", (*table)[1].ip_set));
  EXPECT_FALSE(__ksf_is_ip_in_ranges("::1", (*table)[2].ip_set));
}

class KnownSenderForgery : public ::testing::Test {
 protected:
  void SetUp() override {
    context_.ksf_filename = dir_ / "valid_domain_ips";
    testing::write_file(context_.ksf_filename,
                        "# table\n"
                        "BANK.example: 192.0.2.0/24, 198.51.100.7\n"
                        "shop.example: 203.0.113.0/24\n"
                        "shop.example: 198.51.100.8\n");
  }

  CheckResult run(const char* ip, const char* mail_from) const {
    SessionState state = empty_state;
    if (ip != nullptr) state.ip = ip;
    if (mail_from != nullptr) state.mail_from = mail_from;
    return known_sender_forgery(context_, state);
  }

  CheckContext context_;
  ScratchDir dir_;
  LogCapture capture_;
  testing::VerboseDebug debug_off_{false};
};

TEST_F(KnownSenderForgery, RefusesListedDomainsOnlyFromOutsideTheirNetworks) {
  EXPECT_EQ(run("192.0.2.200", "alice@bank.example"), DUNNO);
  EXPECT_EQ(run("198.51.100.7", "alice@Bank.Example"), DUNNO);
  EXPECT_EQ(run("203.0.113.9", "bob@shop.example"), DUNNO);
  EXPECT_EQ(run("198.51.100.8", "carol@elsewhere.example"), DUNNO);
  EXPECT_TRUE(capture_.lines().empty());

  EXPECT_EQ(run("198.51.100.8", "alice@bank.example"), HIT);
  // Only the first line for a domain counts.
  EXPECT_EQ(run("198.51.100.8", "bob@shop.example"), HIT);
  context_.ksf_report_only = 1;
  EXPECT_EQ(run("198.51.100.9", "alice@bank.example"), DUNNO);
  EXPECT_EQ(capture_.lines(),
            (std::vector<testing::LoggedLine>{
                {LOG_INFO, "IP [198.51.100.8] may not send from domain [bank.example]"},
                {LOG_INFO, "IP [198.51.100.8] may not send from domain [shop.example]"},
                {LOG_INFO, "IP [198.51.100.9] may not send from domain [bank.example] (DEBUG)"},
            }));
}

TEST_F(KnownSenderForgery, JudgesIpv6PeersByTheTablesIpv6Networks) {
  testing::write_file(context_.ksf_filename, "bank.example: 192.0.2.0/24, 2001:db8:b::/48\n");
  EXPECT_EQ(run("2001:db8:b:1::25", "alice@bank.example"), DUNNO);
  EXPECT_EQ(run("2001:db8:c::25", "alice@bank.example"), HIT);
  EXPECT_EQ(run("2001:db8:c::25", "alice@other.example"), DUNNO);
  EXPECT_EQ(capture_.lines(),
            (std::vector<testing::LoggedLine>{
                {LOG_INFO, "IP [2001:db8:c::25] may not send from domain [bank.example]"}}));
}

TEST_F(KnownSenderForgery, FailsOpenWhenNothingCanBeDecided) {
  const char* outsider = "198.51.100.8";
  EXPECT_EQ(run(outsider, ""), DUNNO);
  EXPECT_EQ(run(outsider, nullptr), DUNNO);
  EXPECT_EQ(run(nullptr, "alice@bank.example"), DUNNO);
  EXPECT_EQ(run("", "alice@bank.example"), DUNNO);
  EXPECT_EQ(run("198.51.100", "alice@bank.example"), DUNNO);
  EXPECT_EQ(run(outsider, "alice@bank"), DUNNO);

  testing::write_file(context_.ksf_filename,
                      "bank.example: 192.0.2.0/33\nshop.example 10.0.0.0/8\n");
  EXPECT_EQ(run(outsider, "alice@bank.example"), DUNNO);
  testing::write_file(context_.ksf_filename, "");
  EXPECT_EQ(run(outsider, "alice@bank.example"), DUNNO);
  context_.ksf_filename = dir_.path();
  EXPECT_EQ(run(outsider, "alice@bank.example"), DUNNO);
  context_.ksf_filename = dir_ / "missing";
  EXPECT_EQ(run(outsider, "alice@bank.example"), DUNNO);
  context_.ksf_filename.clear();
  EXPECT_EQ(run(outsider, "alice@bank.example"), DUNNO);

  capture_.clear();

  EXPECT_EQ(ksf_check_domain_to_ip_restriction(outsider, " \t", "/nonexistent"), 1);
  EXPECT_EQ(ksf_check_domain_to_ip_restriction(outsider, "bank.example", "/nonexistent"), 1);
  EXPECT_EQ(testing::located_lines(capture_),
            (std::vector<std::string>{
                "3 known_sender_forgery_funcs ERROR ksf_check_domain_to_ip_restriction(): "
                "Invalid domain - blank after trimming whitespace",
                "3 qv_file ERROR qv_open(): No such file or directory",
                "3 known_sender_forgery_funcs ERROR ksf_get_domain_ip_sets_from_file(): Failed "
                "to read domain/ip list file: /nonexistent",
            }));
}

}  // namespace
}  // namespace korvex
