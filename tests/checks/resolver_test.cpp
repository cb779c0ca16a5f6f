// The lookups against a real resolver: glibc's gethostbyaddr and res_query talking to the
// sandbox's DNS responder, which says per name what to answer and counts the queries.

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "plugin/checks/checks_internal.h"
#include "plugin/checks/helo.h"
#include "plugin/checks/reverse_dns.h"
#include "tests/checks/checks_test_support.h"
#include "tests/e2e/sandbox.h"

namespace korvex {
namespace {

using checks_test::ScopedEnv;
using ::korvex::testing::kDnsTypeA;
using ::korvex::testing::kDnsTypeMx;
using ::korvex::testing::kDnsTypePtr;
using ::korvex::testing::LoggedLine;
using ::korvex::testing::reverse_name;
using Lines = std::vector<LoggedLine>;

class ResolverTest : public ::korvex::testing::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    // One try per query, so that the counts below are the routines' own retries.
    ASSERT_TRUE(sandbox().place_file("/etc/resolv.conf",
                                     "nameserver 127.0.0.1\noptions attempts:1 timeout:2\n"));
    ::korvex::testing::captured_lines().clear();
    context_.system_log = ::korvex::testing::capture_sink;
  }
  void TearDown() override {
    ::korvex::testing::captured_lines().clear();
    SandboxTest::TearDown();
  }
  static Lines lines() { return ::korvex::testing::captured_lines(); }

  ScopedEnv no_remote_host_{"TCPREMOTEHOST", std::nullopt};
  CheckContext context_;  // the system's resolver
};

int ptr_queries(::korvex::testing::Sandbox& sandbox, const char* ip) {
  return sandbox.dns().query_count(reverse_name(ip).value_or(""), kDnsTypePtr);
}

TEST_F(ResolverTest, ReverseLookupOutcomes) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.7", "mail.example.net"));
  ASSERT_TRUE(sandbox().dns().set_nxdomain(reverse_name("192.0.2.8").value()));
  ASSERT_TRUE(sandbox().dns().set_servfail(reverse_name("192.0.2.9").value()));

  std::string name;
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.7")), kReverseNameFound);
  EXPECT_EQ(name, "mail.example.net");
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.8")), kReverseNoName);
  EXPECT_EQ(name, "");
  EXPECT_EQ(lookupReverseDNS(context_, &name, std::string("192.0.2.9")), kReverseLookupFailed);
  EXPECT_EQ(ptr_queries(sandbox(), "192.0.2.7"), 1);
  EXPECT_EQ(ptr_queries(sandbox(), "192.0.2.8"), 1);
  EXPECT_EQ(ptr_queries(sandbox(), "192.0.2.9"), 4);  // a server failure is "try again"
  EXPECT_EQ(lines(), (Lines{{LOG_DEBUG, "lookupReverseDNS(): resolved to [mail.example.net]"},
                            {LOG_DEBUG, "Hostname for IP 192.0.2.8 could not be found"},
                            {LOG_ERR, "gethostbyaddr() retried 3 times"}}));
}

TEST_F(ResolverTest, ReverseRulesWithoutTcpRemoteHost) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.7", "ppp-192-0-2-7.dialup.example.net"));
  ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.10", "mail.example.net"));
  ASSERT_TRUE(sandbox().dns().set_servfail(reverse_name("192.0.2.9").value()));
  SessionState state;
  state.ip = "192.0.2.7";
  EXPECT_EQ(check_ip_reverse_dns(context_, state), DUNNO);
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), HIT);
  state.ip = "192.0.2.10";
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), DUNNO);
  state.ip = "192.0.2.8";  // nobody configured it: NXDOMAIN
  EXPECT_EQ(check_ip_reverse_dns(context_, state), HIT);
  EXPECT_EQ(check_dynamic_reverse_dns(context_, state), HIT);
  EXPECT_EQ(check_reverse_dns_list(context_, state), DUNNO);
  state.ip = "192.0.2.9";
  EXPECT_EQ(check_ip_reverse_dns(context_, state), TEMPFAIL);
  // Each rule makes its own lookup; nothing is carried from one to the next.
  EXPECT_EQ(ptr_queries(sandbox(), "192.0.2.7"), 2);
  EXPECT_EQ(ptr_queries(sandbox(), "192.0.2.8"), 3);
}

TEST_F(ResolverTest, ForwardResolutionTriesAThenMx) {
  if (!has_sandbox()) return;
  auto& dns = sandbox().dns();
  ASSERT_TRUE(dns.add_a("a-only.example", "192.0.2.20"));
  ASSERT_TRUE(dns.add_mx("mx-only.example", 10, "mail.example.net"));
  ASSERT_TRUE(dns.set_servfail("broken.example"));
  EXPECT_EQ(isUnresolvableDomain(context_, "a-only.example"), 0);
  EXPECT_EQ(isUnresolvableDomain(context_, "mx-only.example"), 0);
  EXPECT_EQ(isUnresolvableDomain(context_, "gone.example"), 1);
  EXPECT_EQ(isUnresolvableDomain(context_, "broken.example"), 1);  // resolver trouble counts too
  EXPECT_EQ(dns.query_count("a-only.example", kDnsTypeA), 1);
  EXPECT_EQ(dns.query_count("a-only.example", kDnsTypeMx), 0);
  EXPECT_EQ(dns.query_count("mx-only.example", kDnsTypeA), 1);
  EXPECT_EQ(dns.query_count("mx-only.example", kDnsTypeMx), 1);
  EXPECT_EQ(dns.query_count("gone.example", kDnsTypeMx), 1);
  EXPECT_EQ(dns.query_count("broken.example", kDnsTypeMx), 1);

  SessionState state;
  state.helo = "mx-only.example";
  EXPECT_EQ(resolve_helo_domain(context_, state), DUNNO);
  state.helo = "gone.example";
  EXPECT_EQ(resolve_helo_domain(context_, state), HIT);
}

}  // namespace
}  // namespace korvex
