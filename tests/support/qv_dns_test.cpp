#include "support/qv_dns.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/located_lines.h"
#include "tests/support/log_capture.h"

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

}  // namespace
}  // namespace korvex
