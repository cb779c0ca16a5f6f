#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lists/list_files.h"
#include "lists/list_match.h"
#include "lists/list_paths.h"
#include "tests/lists/list_test_dir.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::ListDir;
using testing::write_file;

const std::optional<std::string> kNone;

class SessionInList : public ::testing::Test {
 protected:
  void set_list(int list_id, const std::string& content) {
    write_file(*list_file_path(dir_.base(), list_id), content);
  }
  int sender_in(int list_id, const std::string& sender) {
    return session_in_list(kNone, sender, kNone, list_id, dir_.base());
  }
  int ip_in(int list_id, const std::string& ip) {
    return session_in_list(ip, kNone, kNone, list_id, dir_.base());
  }
  ListDir dir_;
};

TEST(WildcardPattern, AsterisksBecomeAnyRunAndEverythingElseIsKept) {
  EXPECT_EQ(wildcard_pattern("*@mail.example"), "^.*@mail.example");
  EXPECT_EQ(wildcard_pattern("a**b(c)*"), "^a.*.*b(c).*");
}

TEST_F(SessionInList, AddressEntriesMatchIgnoringCase) {
  set_list(kFromWhitelistList, "Joe@Example.com\n");
  EXPECT_EQ(sender_in(kFromWhitelistList, "joe@example.COM"), 1);
  EXPECT_EQ(sender_in(kFromWhitelistList, "joe@example.co"), 0);
  EXPECT_EQ(sender_in(kFromWhitelistList, "joe@example.com2"), 0);
  EXPECT_EQ(sender_in(kFromWhitelistList, "xjoe@example.com"), 0);
}

TEST_F(SessionInList, WildcardsAreAnchoredAtTheStartOnly) {
  set_list(kBlockedFromList, "*@spam.example\n");
  EXPECT_EQ(sender_in(kBlockedFromList, "anyone@spam.example"), 1);
  EXPECT_EQ(sender_in(kBlockedFromList, "ANYONE@SPAM.EXAMPLE"), 1);
  // Only the start is anchored, and the dot matches any character.
  EXPECT_EQ(sender_in(kBlockedFromList, "anyone@spam.example.net"), 1);
  EXPECT_EQ(sender_in(kBlockedFromList, "anyone@spamXexample"), 1);
  EXPECT_EQ(sender_in(kBlockedFromList, "anyone@ham.example"), 0);

  set_list(kBlockedFromList, "news*@list.example\n");
  EXPECT_EQ(sender_in(kBlockedFromList, "newsletter@list.example"), 1);
  EXPECT_EQ(sender_in(kBlockedFromList, "the-news@list.example"), 0);
}

TEST_F(SessionInList, EntryThatDoesNotCompileMatchesNothingAndReadingGoesOn) {
  set_list(kFromWhitelistList, "*(@x.example\n*[\n*@y.example\n");
  EXPECT_EQ(sender_in(kFromWhitelistList, "a(@x.example"), 0);
  EXPECT_EQ(sender_in(kFromWhitelistList, "joe@y.example"), 1);
}

TEST_F(SessionInList, IpEntriesMustBeDottedQuads) {
  set_list(kExemptIpsList, "10.0.0.*\n*\ngarbage\n\n167772161\n10.0.0.1\n");
  EXPECT_EQ(ip_in(kExemptIpsList, "10.0.0.1"), 1);
  EXPECT_EQ(ip_in(kExemptIpsList, "10.0.0.2"), 0);
  EXPECT_EQ(ip_in(kExemptIpsList, "10.0.0.10"), 0);
  EXPECT_EQ(ip_in(kExemptIpsList, "10.0.0.*"), 0);
  EXPECT_EQ(ip_in(kExemptIpsList, "garbage"), 0);
  // inet_aton accepts a bare number, but only dotted quads take part.
  EXPECT_EQ(ip_in(kExemptIpsList, "167772161"), 0);

  set_list(kBlockedIpsList, "192.0.2.*\n");
  EXPECT_EQ(ip_in(kBlockedIpsList, "192.0.2.7"), 0);
}

TEST_F(SessionInList, Ipv6EntriesAndRangesMatchAsAddresses) {
  set_list(kBlockedIpsList,
           "2001:DB8:0::25\n198.51.100.0/24\n2001:db8:bad::/48\n::1\n::ffff:192.0.2.44\n"
           "192.0.3.0/23\n2001:db8:*\n");
  // "::1" is shorter than any dotted quad; 192.0.3.0/23 has a host bit set and is no range.
  const std::vector<std::pair<std::string, int>> cases = {
      {"2001:0db8:0000::0025", 1}, {"2001:db8::26", 0},     {"198.51.100.200", 1},
      {"198.51.101.1", 0},         {"2001:db8:bad::9", 1},  {"::1", 1},
      {"192.0.2.44", 1},           {"192.0.3.1", 0},        {"2001:db8:abc::1", 0},
  };
  for (const auto& [peer, expected] : cases) {
    EXPECT_EQ(ip_in(kBlockedIpsList, peer), expected) << peer;
  }
}

TEST_F(SessionInList, ShortOrAbsentValuesMatchNoList) {
  set_list(kExemptIpsList, "1.2.3.4\n");
  set_list(kFromWhitelistList, "a@b.c\n*\n");
  set_list(kExemptUsersList, "*\n");
  EXPECT_EQ(ip_in(kExemptIpsList, "1.2.3.4"), 1);  // exactly the minimum of 7
  EXPECT_EQ(sender_in(kFromWhitelistList, "a@b.c"), 0);
  EXPECT_EQ(sender_in(kFromWhitelistList, "a@b.cd"), 1);
  EXPECT_EQ(session_in_list(kNone, kNone, kNone, kExemptIpsList, dir_.base()), 0);
  EXPECT_EQ(session_in_list(kNone, kNone, kNone, kFromWhitelistList, dir_.base()), 0);
  EXPECT_EQ(session_in_list(kNone, kNone, std::string(""), kExemptUsersList, dir_.base()), 0);
}

TEST_F(SessionInList, EachListIsMatchedAgainstItsOwnValue) {
  set_list(kFromWhitelistList, "from@x.example\n");
  set_list(kExemptUsersList, "rcpt@x.example\n");
  set_list(kBlockedFromList, "from@x.example\n");
  set_list(kExemptIpsList, "192.0.2.1\n");
  set_list(kBlockedIpsList, "192.0.2.1\n");
  const std::optional<std::string> ip = "192.0.2.1";
  const std::optional<std::string> from = "from@x.example";
  const std::optional<std::string> rcpt = "rcpt@x.example";
  std::vector<int> hits;
  for (int id = 0; id <= 6; ++id) hits.push_back(session_in_list(ip, from, rcpt, id, dir_.base()));
  EXPECT_EQ(hits, (std::vector<int>{0, 1, 1, 1, 1, 1, 0}));
  // The same values in the wrong places hit nothing.
  hits.clear();
  for (int id = 1; id <= 5; ++id) hits.push_back(session_in_list(ip, rcpt, from, id, dir_.base()));
  EXPECT_EQ(hits, (std::vector<int>{0, 1, 0, 1, 0}));
}

TEST_F(SessionInList, WindowsLineEndsAndTheLineLimit) {
  set_list(kExemptUsersList, "a@x.example\r\nb@x.example\r\n");
  EXPECT_EQ(
      session_in_list(kNone, kNone, std::string("b@x.example"), kExemptUsersList, dir_.base()), 1);
  set_list(kExemptUsersList, testing::numbered_lines("user@x.example", 501));
  const auto rcpt_in = [this](const std::string& rcpt) {
    return session_in_list(kNone, kNone, rcpt, kExemptUsersList, dir_.base());
  };
  EXPECT_EQ(rcpt_in("user@x.example500"), 1);
  EXPECT_EQ(rcpt_in("user@x.example501"), 0);
}

TEST_F(SessionInList, MissingListMatchesNothing) {
  EXPECT_EQ(sender_in(kFromWhitelistList, "joe@example.com"), 0);
}

TEST(IterateExemptionList, HandsEveryLineInOrderAndStopsWhenAsked) {
  ListDir dir;
  testing::LogCapture capture;
  std::vector<std::string> seen;
  const auto collect = [&seen](const std::string& entry) {
    seen.push_back(entry);
    return 0;
  };
  EXPECT_EQ(iterate_exemption_list(testing::capture_sink, kExemptIpsList, collect, dir.base()), 0);
  EXPECT_TRUE(seen.empty());

  write_file(*list_file_path(dir.base(), kExemptIpsList), "b\n\na\r\n");
  EXPECT_EQ(iterate_exemption_list(testing::capture_sink, kExemptIpsList, collect, dir.base()), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"b", "", "a"}));

  const auto stop = [](const std::string&) { return 3; };
  EXPECT_EQ(iterate_exemption_list(nullptr, kExemptIpsList, stop, dir.base()), 3);
  EXPECT_TRUE(capture.lines().empty());

  EXPECT_EQ(iterate_exemption_list(testing::capture_sink, 6, collect, dir.base()), -1);
  EXPECT_EQ(capture.lines(),
            (std::vector<testing::LoggedLine>{
                {4, "Warning: iterate_exemption_list() called with unknown list id [6]"}}));
  EXPECT_EQ(iterate_exemption_list(nullptr, 0, collect, dir.base()), -1);
}

TEST(IterateExemptionList, SomethingOtherThanARegularFileListsAsEmpty) {
  ListDir dir;
  std::filesystem::create_directory(*list_file_path(dir.base(), kBlockedFromList));
  bool called = false;
  EXPECT_EQ(iterate_exemption_list(
                nullptr, kBlockedFromList,
                [&called](const std::string&) {
                  called = true;
                  return 1;
                },
                dir.base()),
            0);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace korvex
