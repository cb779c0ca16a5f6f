#include "support/qv_dns.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/dns_sandbox.h"
#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/testkit/dns_responder.h"

namespace korvex {
namespace {

using testing::located_lines;
using testing::LogCapture;
using testing::VerboseDebug;
using Lines = std::vector<std::string>;

std::uint32_t network_order(const char* text) {
  in_addr address{};
  EXPECT_EQ(inet_aton(text, &address), 1);
  return address.s_addr;
}

TEST(QvInetAddr, ConvertsDottedTextToNetworkOrder) {
  LogCapture capture;
  VerboseDebug verbose;
  EXPECT_EQ(qv_inet_addr("192.0.2.1"), network_order("192.0.2.1"));
  EXPECT_EQ(qv_inet_addr("10.20.30.40"), network_order("10.20.30.40"));
  EXPECT_EQ(located_lines(capture),
            (Lines{"7 qv_dns DEBUG qv_inet_addr(): [192.0.2.1] converted to " +
                       std::to_string(network_order("192.0.2.1")),
                   "7 qv_dns DEBUG qv_inet_addr(): [10.20.30.40] converted to " +
                       std::to_string(network_order("10.20.30.40"))}));
}

TEST(QvInetAddr, RefusesAbsentMalformedAndAllOnesAddresses) {
  LogCapture capture;
  EXPECT_EQ(qv_inet_addr(nullptr), 0u);
  EXPECT_EQ(qv_inet_addr("not.an.address"), 0u);
  EXPECT_EQ(qv_inet_addr("256.1.1.1"), 0u);
  EXPECT_EQ(qv_inet_addr("255.255.255.255"), 0u);
  // Every refusal is one error line carrying the EINVAL text.
  const std::string refused =
      std::string("3 qv_dns ERROR qv_inet_addr(): ") + std::strerror(EINVAL);
  EXPECT_EQ(located_lines(capture), (Lines{refused, refused, refused, refused}));
}

TEST(QvInetAddr, AllZeroAddressIsIndistinguishableFromFailure) {
  LogCapture capture;
  EXPECT_EQ(qv_inet_addr("0.0.0.0"), 0u);
  EXPECT_TRUE(capture.lines().empty());
}

// The trace line of the address syntax test that the lookups run first.
std::string converted(const char* ip) {
  return "7 qv_dns DEBUG qv_inet_addr(): [" + std::string(ip) + "] converted to " +
         std::to_string(network_order(ip));
}

// This module's own lines, one per text line: the syntax tests it relies on trace too.
std::string dns_trace(const LogCapture& capture) {
  std::string trace;
  for (const auto& line : located_lines(capture)) {
    if (line.find(" qv_dns ") != std::string::npos) trace += line + "\n";
  }
  return trace;
}

std::string joined(const Lines& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(QvDnsLookups, BadArgumentsAreRefusedWithoutAQuery) {
  LogCapture capture;
  VerboseDebug verbose;
  std::string name = "kept";
  EXPECT_EQ(qv_lookup_reverse_dns(&name, nullptr), kReverseBadArgument);
  EXPECT_EQ(qv_lookup_reverse_dns(nullptr, "192.0.2.1"), kReverseBadArgument);
  EXPECT_EQ(qv_lookup_reverse_dns(&name, "mail.example.net"), kReverseBadArgument);
  EXPECT_EQ(qv_lookup_reverse_dns(&name, "0.0.0.0"), kReverseBadArgument);
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(qv_resolv("192.0.2.1", T_A), kResolvInvalid);
  EXPECT_EQ(qv_resolv(nullptr, T_MX), kResolvInvalid);
  EXPECT_FALSE(qv_has_a_or_mx("192.0.2.1"));
  EXPECT_FALSE(qv_has_a_or_mx("a..b"));
  const std::string reverse_refused =
      std::string("3 qv_dns ERROR qv_lookup_reverse_dns(): ") + std::strerror(EINVAL);
  const std::string resolv_refused =
      std::string("3 qv_dns ERROR qv_resolv(): ") + std::strerror(EINVAL);
  EXPECT_EQ(dns_trace(capture),
            joined({reverse_refused, reverse_refused, reverse_refused, converted("0.0.0.0"),
                    reverse_refused,
                    // a domain test first asks whether the text is an address
                    converted("192.0.2.1"), resolv_refused, resolv_refused, converted("192.0.2.1"),
                    "7 qv_dns DEBUG qv_has_a_or_mx(): domain [192.0.2.1] flagged as invalid.",
                    "7 qv_dns DEBUG qv_has_a_or_mx(): domain [a..b] flagged as invalid."}));
}

// Runs body in a child inside private namespaces with a responder on 127.0.0.1:53 that
// knows the zone; the child's report, or why it could not run.
std::string with_responder(const std::string& zone,
                           const std::function<std::string(testing::DnsResponder&)>& body) {
  testing::TempDir scratch;
  const auto outcome = testing::run_in_child([&](const testing::ChildChannel&) {
    const std::string error = testing::enter_dns_sandbox(scratch.file("resolv.conf"));
    if (!error.empty()) return "sandbox: " + error;
    testing::DnsResponder dns;
    if (!dns.load_zone(zone)) return std::string("bad zone");
    if (!dns.start("127.0.0.1", 53)) return std::string("responder did not start");
    return body(dns);
  });
  if (!outcome.exited_with(0)) return "child status " + std::to_string(outcome.status);
  return outcome.report;
}

constexpr const char* kZone =
    "ptr 192.0.2.7 mail.example.net\n"
    "servfail 9.2.0.192.in-addr.arpa\n"
    "a mail.example.net 192.0.2.7\n"
    "mx example.net 10 mail.example.net\n"
    "nxdomain gone.example.net\n"
    "servfail broken.example.net\n";

TEST(QvDnsLookups, ReverseLookupRetriesOnlyTemporaryFailures) {
  if (geteuid() != 0) GTEST_SKIP() << "private namespaces need root";
  const std::string report = with_responder(kZone, [](testing::DnsResponder& dns) {
    LogCapture capture;
    VerboseDebug verbose;
    std::string report;
    for (const char* ip : {"192.0.2.7", "192.0.2.8", "192.0.2.9"}) {
      std::string name = "previous";
      const int result = qv_lookup_reverse_dns(&name, ip);  // before the count is read
      const int queries = dns.query_count(*testing::reverse_name(ip), testing::kDnsTypePtr);
      report += std::string(ip) + " -> " + std::to_string(result) + " " + name + ", " +
                std::to_string(queries) + " queries\n";
    }
    return report + dns_trace(capture);
  });
  EXPECT_EQ(
      report,
      joined(
          {"192.0.2.7 -> 0 mail.example.net, 1 queries", "192.0.2.8 -> -1 previous, 1 queries",
           "192.0.2.9 -> 2 previous, 3 queries", converted("192.0.2.7"),
           "7 qv_dns DEBUG qv_lookup_reverse_dns(): parameter [192.0.2.7]",
           "7 qv_dns DEBUG qv_lookup_reverse_dns(): [192.0.2.7] Found record "
           "mail.example.net",
           converted("192.0.2.8"), "7 qv_dns DEBUG qv_lookup_reverse_dns(): parameter [192.0.2.8]",
           "7 qv_dns DEBUG qv_lookup_reverse_dns(): [192.0.2.8] lookup result NXDOMAIN",
           converted("192.0.2.9"), "7 qv_dns DEBUG qv_lookup_reverse_dns(): parameter [192.0.2.9]",
           std::string("7 qv_dns DEBUG qv_lookup_reverse_dns(): [192.0.2.9] ") +
               std::strerror(ECONNABORTED)}));
}

TEST(QvDnsLookups, ForwardQueriesAndTheMailDomainTest) {
  if (geteuid() != 0) GTEST_SKIP() << "private namespaces need root";
  const std::string report = with_responder(kZone, [](testing::DnsResponder& dns) {
    std::string report = "resolv";
    for (const auto& [domain, type] :
         {std::pair{"mail.example.net", T_A}, std::pair{"example.net", T_A},
          std::pair{"example.net", T_MX}, std::pair{"gone.example.net", T_MX}}) {
      report += " " + std::to_string(qv_resolv(domain, type));
    }
    dns.clear();  // forget the counts of the queries above
    if (!dns.load_zone(kZone)) return std::string("bad zone");
    LogCapture capture;
    VerboseDebug verbose;
    report += "\nhas_a_or_mx";
    for (const char* domain :
         {"mail.example.net", "example.net", "gone.example.net", "broken.example.net"}) {
      const bool found = qv_has_a_or_mx(domain);  // before the counts are read
      report += std::string(" ") + (found ? "true" : "false") + " " +
                std::to_string(dns.query_count(domain, testing::kDnsTypeA)) + "A" +
                std::to_string(dns.query_count(domain, testing::kDnsTypeMx)) + "MX";
    }
    return report + "\n" + dns_trace(capture);
  });
  const std::string has = "7 qv_dns DEBUG qv_has_a_or_mx(): domain ";
  const std::string unanswered = "7 qv_dns DEBUG qv_resolv(): error on lookup ";
  EXPECT_EQ(report,
            joined({"resolv 0 1 0 1", "has_a_or_mx true 1A0MX true 1A1MX false 1A1MX false 1A1MX",
                    has + "[mail.example.net] found A record", unanswered + "[example.net]",
                    has + "[example.net] no A record found. Seeking MX",
                    has + "[example.net] found MX record", unanswered + "[gone.example.net]",
                    has + "[gone.example.net] no A record found. Seeking MX",
                    unanswered + "[gone.example.net]", unanswered + "[broken.example.net]",
                    has + "[broken.example.net] no A record found. Seeking MX",
                    unanswered + "[broken.example.net]"}));
}

}  // namespace
}  // namespace korvex
