#include "tests/testkit/dns_responder.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "tests/testkit/unique_fd.h"

namespace korvex::testing {
namespace {

// A query as glibc's resolver builds it.
std::string make_query(const std::string& name, int type, int id = 0x1234) {
  unsigned char buffer[512];
  const int length = res_mkquery(ns_o_query, name.c_str(), ns_c_in, type, nullptr, 0, nullptr,
                                 buffer, sizeof buffer);
  EXPECT_GT(length, 0) << name;
  if (length <= 0) return {};
  buffer[0] = static_cast<unsigned char>(id >> 8);
  buffer[1] = static_cast<unsigned char>(id & 0xFF);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

// A reply decoded with libresolv: rcode, flags, question, and each answer as text.
struct Decoded {
  int id = -1;
  int rcode = -1;
  bool authoritative = false;
  bool recursion_desired = false;
  std::string question;
  std::vector<std::string> answers;
};

Decoded decode(const std::string& reply) {
  Decoded decoded;
  ns_msg message;
  const auto* data = reinterpret_cast<const unsigned char*>(reply.data());
  if (ns_initparse(data, static_cast<int>(reply.size()), &message) != 0) return decoded;
  decoded.id = ns_msg_id(message);
  decoded.rcode = ns_msg_getflag(message, ns_f_rcode);
  decoded.authoritative = ns_msg_getflag(message, ns_f_aa) != 0;
  decoded.recursion_desired = ns_msg_getflag(message, ns_f_rd) != 0;
  ns_rr record;
  if (ns_msg_count(message, ns_s_qd) == 1 && ns_parserr(&message, ns_s_qd, 0, &record) == 0) {
    decoded.question = std::string(ns_rr_name(record)) + " " + std::to_string(ns_rr_type(record));
  }
  for (int index = 0; index < ns_msg_count(message, ns_s_an); ++index) {
    if (ns_parserr(&message, ns_s_an, index, &record) != 0) break;
    std::string text = std::string(ns_rr_name(record)) + " " + std::to_string(ns_rr_ttl(record)) +
                       " " + std::to_string(ns_rr_type(record)) + " ";
    char name[NS_MAXDNAME];
    const unsigned char* rdata = ns_rr_rdata(record);
    if (ns_rr_type(record) == ns_t_a && ns_rr_rdlen(record) == 4) {
      char address[INET_ADDRSTRLEN];
      text += inet_ntop(AF_INET, rdata, address, sizeof address);
    } else if (ns_rr_type(record) == ns_t_mx &&
               ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), rdata + 2, name,
                                  sizeof name) > 0) {
      text += std::to_string(ns_get16(rdata)) + " " + name;
    } else if (ns_rr_type(record) == ns_t_ptr &&
               ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), rdata, name,
                                  sizeof name) > 0) {
      text += name;
    }
    decoded.answers.push_back(text);
  }
  return decoded;
}

TEST(DnsResponder, AnswersRecordsGlibcCanParse) {
  DnsResponder dns;
  ASSERT_TRUE(dns.add_a("Host.Example.NET.", "192.0.2.7"));
  ASSERT_TRUE(dns.add_a("host.example.net", "192.0.2.8"));
  ASSERT_TRUE(dns.add_mx("example.net", 10, "mail.example.net"));
  ASSERT_TRUE(dns.add_mx("example.net", 20, "backup.example.net."));
  ASSERT_TRUE(dns.add_ptr("192.0.2.7", "host.example.net"));

  const Decoded a = decode(dns.answer(make_query("HOST.example.net", ns_t_a, 0xBEEF)));
  EXPECT_EQ(a.id, 0xBEEF);
  EXPECT_EQ(a.rcode, ns_r_noerror);
  EXPECT_TRUE(a.authoritative);
  EXPECT_TRUE(a.recursion_desired);
  EXPECT_EQ(a.question, "HOST.example.net 1");
  EXPECT_EQ(a.answers, (std::vector<std::string>{"HOST.example.net 300 1 192.0.2.7",
                                                 "HOST.example.net 300 1 192.0.2.8"}));

  EXPECT_EQ(decode(dns.answer(make_query("example.net", ns_t_mx))).answers,
            (std::vector<std::string>{"example.net 300 15 10 mail.example.net",
                                      "example.net 300 15 20 backup.example.net"}));
  EXPECT_EQ(decode(dns.answer(make_query("7.2.0.192.in-addr.arpa", ns_t_ptr))).answers,
            (std::vector<std::string>{"7.2.0.192.in-addr.arpa 300 12 host.example.net"}));
  EXPECT_EQ(reverse_name("10.1.2.3"), "3.2.1.10.in-addr.arpa");
  EXPECT_EQ(reverse_name("10.1.2"), std::nullopt);
  EXPECT_EQ(reverse_name("2001:DB8::2a"),
            "a.2.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  EXPECT_EQ(reverse_name("2001:db8::g"), std::nullopt);
}

TEST(DnsResponder, FailureAnswersAndEmptyAnswers) {
  DnsResponder dns;
  ASSERT_TRUE(dns.add_a("known.example", "192.0.2.1"));
  ASSERT_TRUE(dns.add_a("gone.example", "192.0.2.2"));
  ASSERT_TRUE(dns.set_nxdomain("gone.example"));
  ASSERT_TRUE(dns.set_servfail("broken.example"));
  ASSERT_TRUE(dns.set_servfail("revived.example"));
  ASSERT_TRUE(dns.add_mx("revived.example", 5, "mx.revived.example"));

  const auto rcode_and_count = [&dns](const std::string& name, int type) {
    const Decoded decoded = decode(dns.answer(make_query(name, type)));
    return std::make_pair(decoded.rcode, decoded.answers.size());
  };
  EXPECT_EQ(rcode_and_count("unknown.example", ns_t_a), std::make_pair(3, std::size_t{0}));
  EXPECT_EQ(rcode_and_count("gone.example", ns_t_a), std::make_pair(3, std::size_t{0}));
  EXPECT_EQ(rcode_and_count("broken.example", ns_t_mx), std::make_pair(2, std::size_t{0}));
  EXPECT_EQ(rcode_and_count("known.example", ns_t_mx), std::make_pair(0, std::size_t{0}));
  EXPECT_EQ(rcode_and_count("known.example", ns_t_aaaa), std::make_pair(0, std::size_t{0}));
  EXPECT_EQ(rcode_and_count("revived.example", ns_t_mx), std::make_pair(0, std::size_t{1}));
}

TEST(DnsResponder, CountsQueriesPerNameAndType) {
  DnsResponder dns;
  ASSERT_TRUE(dns.set_servfail("flaky.example"));
  for (int attempt = 0; attempt < 3; ++attempt) (void)dns.answer(make_query("flaky.example", ns_t_a));
  (void)dns.answer(make_query("FLAKY.example.", ns_t_mx));
  (void)dns.answer(make_query("other.example", ns_t_a));
  EXPECT_EQ(dns.query_count("flaky.example", kDnsTypeA), 3);
  EXPECT_EQ(dns.query_count("Flaky.Example.", kDnsTypeMx), 1);
  EXPECT_EQ(dns.query_count("flaky.example", kDnsTypePtr), 0);
  EXPECT_EQ(dns.query_count("flaky.example"), 4);
  EXPECT_EQ(dns.query_count("other.example"), 1);
  dns.clear();
  EXPECT_EQ(dns.query_count("flaky.example"), 0);
  EXPECT_EQ(decode(dns.answer(make_query("flaky.example", ns_t_a))).rcode, ns_r_nxdomain);
}

TEST(DnsResponder, RejectsMalformedQueries) {
  DnsResponder dns;
  const std::string good = make_query("a.example", ns_t_a);
  EXPECT_EQ(dns.answer(good.substr(0, 11)), "");
  std::string reply_shaped = good;
  reply_shaped[2] = static_cast<char>(reply_shaped[2] | 0x80);
  EXPECT_EQ(dns.answer(reply_shaped), "");  // never answer an answer

  std::string two_questions = good;
  two_questions[5] = 2;
  EXPECT_EQ(decode(dns.answer(two_questions)).rcode, ns_r_formerr);
  EXPECT_EQ(decode(dns.answer(good.substr(0, good.size() - 3))).rcode, ns_r_formerr);
  std::string notify = good;
  notify[2] = static_cast<char>((notify[2] & 0x87) | (4 << 3));
  EXPECT_EQ(decode(dns.answer(notify)).rcode, ns_r_notimpl);
  EXPECT_EQ(dns.query_count("a.example"), 0);
}

TEST(DnsResponder, ValidatesNamesAndZoneText) {
  DnsResponder dns;
  EXPECT_FALSE(dns.add_a("ok.example", "300.1.1.1"));
  EXPECT_FALSE(dns.add_a(std::string(64, 'x') + ".example", "192.0.2.1"));
  EXPECT_FALSE(dns.add_mx("a..example", 1, "mx.example"));
  EXPECT_FALSE(dns.add_ptr("192.0.2.1", ""));

  ASSERT_TRUE(dns.load_zone("# test zone\n"
                            "a www.example 192.0.2.10   # web\n"
                            "\n"
                            "mx example 10 mail.example\n"
                            "ptr 192.0.2.10 www.example\n"
                            "nxdomain none.example\n"
                            "servfail fail.example\n"));
  EXPECT_EQ(decode(dns.answer(make_query("www.example", ns_t_a))).answers,
            (std::vector<std::string>{"www.example 300 1 192.0.2.10"}));
  EXPECT_EQ(decode(dns.answer(make_query("example", ns_t_mx))).answers,
            (std::vector<std::string>{"example 300 15 10 mail.example"}));
  EXPECT_EQ(decode(dns.answer(make_query("10.2.0.192.in-addr.arpa", ns_t_ptr))).answers,
            (std::vector<std::string>{"10.2.0.192.in-addr.arpa 300 12 www.example"}));
  EXPECT_EQ(decode(dns.answer(make_query("fail.example", ns_t_a))).rcode, ns_r_servfail);

  const auto bad = dns.load_zone("a late.example 192.0.2.1\nmx example ten mail.example\n"
                                 "a never.example 192.0.2.2\n");
  EXPECT_FALSE(bad);
  EXPECT_STREQ(bad.message(), "zone line 2: bad preference 'ten'");
  EXPECT_EQ(decode(dns.answer(make_query("never.example", ns_t_a))).rcode, ns_r_nxdomain);
  EXPECT_STREQ(dns.load_zone("cname a.example b.example\n").message(),
               "zone line 1: unknown record");
}

TEST(DnsResponder, ServesOverUdpUntilStopped) {
  DnsResponder dns;
  ASSERT_TRUE(dns.add_a("udp.example", "192.0.2.55"));
  ASSERT_TRUE(dns.start("127.0.0.1", 0));
  ASSERT_NE(dns.port(), 0);
  UniqueFd client(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(client.valid());
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(dns.port());
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  const std::string query = make_query("udp.example", ns_t_a);
  ASSERT_EQ(send(client.get(), query.data(), query.size(), 0), static_cast<ssize_t>(query.size()));
  pollfd ready{client.get(), POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 10000), 1);
  char buffer[512];
  const ssize_t got = recv(client.get(), buffer, sizeof buffer, 0);
  ASSERT_GT(got, 0);
  EXPECT_EQ(decode(std::string(buffer, static_cast<std::size_t>(got))).answers,
            (std::vector<std::string>{"udp.example 300 1 192.0.2.55"}));
  EXPECT_EQ(dns.query_count("udp.example", kDnsTypeA), 1);
  dns.stop();
  dns.stop();
}

}  // namespace
}  // namespace korvex::testing
