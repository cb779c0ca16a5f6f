#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

class SandboxNetwork : public SandboxTest {
 protected:
  RunResult probe(const std::string& mode, const std::string& subject) {
    return sandbox().run({KORVEX_PROGRAM_DNS_PROBE, mode, subject});
  }
  RunResult curl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"/usr/bin/curl", "-s"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return sandbox().run(argv);
  }
};

TEST_F(SandboxNetwork, GlibcResolverSeesTheResponder) {
  DnsResponder& dns = sandbox().dns();
  ASSERT_TRUE(dns.add_ptr("192.0.2.7", "mail.example.net"));
  ASSERT_TRUE(dns.add_a("mail.example.net", "192.0.2.7"));
  ASSERT_TRUE(dns.add_mx("example.net", 10, "mail.example.net"));
  ASSERT_TRUE(dns.set_nxdomain("gone.example.net"));
  ASSERT_TRUE(dns.set_servfail("broken.example.net"));
  ASSERT_TRUE(dns.set_servfail("9.2.0.192.in-addr.arpa"));

  EXPECT_EQ(probe("ptr", "192.0.2.7").out, "name mail.example.net\n");
  EXPECT_EQ(probe("ptr", "192.0.2.8").out, "h_errno HOST_NOT_FOUND\n");
  EXPECT_EQ(probe("ptr", "192.0.2.9").out, "h_errno TRY_AGAIN\n");
  EXPECT_EQ(probe("a", "mail.example.net").out, "a 192.0.2.7\n");
  EXPECT_EQ(probe("mx", "example.net").out, "mx 10 mail.example.net\n");
  EXPECT_EQ(probe("a", "example.net").out, "h_errno NO_DATA\n");
  EXPECT_EQ(probe("a", "gone.example.net").out, "h_errno HOST_NOT_FOUND\n");
  EXPECT_EQ(probe("mx", "unknown.example.net").out, "h_errno HOST_NOT_FOUND\n");
  EXPECT_EQ(probe("mx", "broken.example.net").out, "h_errno TRY_AGAIN\n");
  EXPECT_EQ(probe("addrinfo", "mail.example.net").out, "address 192.0.2.7\n");
  EXPECT_EQ(probe("addrinfo", "gone.example.net").out, "gai EAI_NONAME\n");

  const RunResult forward = sandbox().run({"/usr/bin/getent", "hosts", "mail.example.net"});
  EXPECT_EQ(forward.out, "192.0.2.7       mail.example.net\n");
  const RunResult backward = sandbox().run({"/usr/bin/getent", "hosts", "192.0.2.7"});
  EXPECT_EQ(backward.out, "192.0.2.7       mail.example.net\n");
  EXPECT_EQ(sandbox().run({"/usr/bin/getent", "hosts", "gone.example.net"}).exit_status, 2);

  // glibc asks a failing server again; the count shows how often.
  EXPECT_EQ(dns.query_count("broken.example.net", kDnsTypeMx), 2);
  EXPECT_EQ(dns.query_count("7.2.0.192.in-addr.arpa", kDnsTypePtr), 2);
}

TEST_F(SandboxNetwork, CurlReachesBothHttpServers) {
  HttpServer& web = sandbox().http();
  EXPECT_EQ(web.port(), 80);
  web.serve_body("/tarn/mirror_info", "mirror one\n");
  web.serve_status("/broken", 500);
  web.serve_not_modified("/same");
  sandbox().http_alt().serve_body("/alt", "other port\n");
  ASSERT_NE(sandbox().http_alt().port(), 0);

  EXPECT_EQ(curl({"http://127.0.0.1/tarn/mirror_info"}).out, "mirror one\n");
  EXPECT_EQ(curl({sandbox().http_alt().url("/alt")}).out, "other port\n");
  const std::vector<std::string> status_only = {"-o", "/dev/null", "-w", "%{http_code}"};
  const auto status_of = [&](const std::string& url) {
    std::vector<std::string> arguments = status_only;
    arguments.push_back(url);
    return curl(arguments).out;
  };
  EXPECT_EQ(status_of("http://127.0.0.1/broken"), "500");
  EXPECT_EQ(status_of("http://127.0.0.1/same"), "304");
  EXPECT_EQ(status_of("http://127.0.0.1/unknown"), "404");

  const auto requests = web.requests();
  ASSERT_EQ(requests.size(), 4U);
  EXPECT_EQ(requests[0].target, "/tarn/mirror_info");
  EXPECT_EQ(requests[3].target, "/unknown");
}

}  // namespace
}  // namespace korvex::testing
