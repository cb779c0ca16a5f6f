// dns_responder - a UDP DNS server on a background thread for whole-program tests.
//
// The test tells it, per name, what to answer: A, MX and PTR records (a PTR is given as the
// IPv4 or IPv6 address it describes, the reverse name is made here), NXDOMAIN or SERVFAIL. A name
// nobody configured answers NXDOMAIN; a configured name asked for a type it has no records
// of answers NOERROR with no answers. Answers carry the question as it was asked and point
// back at it with a compressed name, which is what glibc's resolver (gethostbyaddr,
// res_query, getaddrinfo) expects. Every query is counted per name and type so that a test
// can check how often a program retried.
//
//   DnsResponder dns;
//   dns.add_ptr("192.0.2.7", "mail.example.net");
//   dns.add_mx("example.net", 10, "mail.example.net");
//   dns.set_servfail("broken.example");
//   ASSERT_TRUE(dns.start("127.0.0.1", 53));
//   ... EXPECT_EQ(dns.query_count("broken.example", kDnsTypeA), 2);
//
// Zone text (load_zone), one record per line, '#' starts a comment:
//   a <name> <ipv4>      ptr <ipv4-or-ipv6> <name>      mx <name> <preference> <exchange>
//   nxdomain <name>      servfail <name>
//
// Exports: kDnsTypeA, kDnsTypePtr, kDnsTypeMx, kDnsTypeAaaa, reverse_name, DnsResponder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/testkit/net_util.h"
#include "tests/testkit/unique_fd.h"

namespace korvex::testing {

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypePtr = 12;
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeAaaa = 28;

// reverse_name - "d.c.b.a.in-addr.arpa" for the IPv4 address "a.b.c.d", the nibble name
// under ip6.arpa for an IPv6 address; absent for bad text.
std::optional<std::string> reverse_name(const std::string& address);

class DnsResponder {
 public:
  DnsResponder() = default;
  ~DnsResponder();
  DnsResponder(const DnsResponder&) = delete;
  DnsResponder& operator=(const DnsResponder&) = delete;

  // start - bind address:port (0 = any free port) and answer on a background thread.
  ::testing::AssertionResult start(const std::string& address = "127.0.0.1",
                                   std::uint16_t port = 53);
  // stop - stop answering and join the thread.
  void stop();
  std::uint16_t port() const { return port_; }

  // The record adders fail (and change nothing) on malformed names or addresses.
  ::testing::AssertionResult add_a(const std::string& name, const std::string& ipv4);
  ::testing::AssertionResult add_ptr(const std::string& ipv4, const std::string& host);
  ::testing::AssertionResult add_mx(const std::string& name, std::uint16_t preference,
                                    const std::string& exchange);
  // set_nxdomain / set_servfail - answer every query for name so, dropping its records.
  ::testing::AssertionResult set_nxdomain(const std::string& name);
  ::testing::AssertionResult set_servfail(const std::string& name);
  // load_zone - apply zone text; on a bad line nothing after it is applied.
  ::testing::AssertionResult load_zone(const std::string& text);
  // clear - forget every name and every count.
  void clear();

  // query_count - queries received for name (any letter case) and type.
  int query_count(const std::string& name, std::uint16_t type) const;
  // query_count - queries received for name, all types together.
  int query_count(const std::string& name) const;

  // answer - the reply to one query datagram; empty when it deserves none. Public so the
  // wire format can be checked without a socket.
  std::string answer(const std::string& query);

 private:
  enum class Mode { records, nxdomain, servfail };
  struct Record {
    std::uint16_t type;
    std::string rdata;  // wire form
  };
  struct Entry {
    Mode mode = Mode::records;
    std::vector<Record> records;
  };

  ::testing::AssertionResult add_record(const std::string& name, Record record);
  ::testing::AssertionResult set_mode(const std::string& name, Mode mode);
  void serve_loop();

  mutable std::mutex mutex_;
  std::map<std::string, Entry> names_;
  std::map<std::pair<std::string, std::uint16_t>, int> counts_;
  UniqueFd socket_;
  Wakeup wakeup_;
  std::thread thread_;
  std::uint16_t port_ = 0;
};

}  // namespace korvex::testing
