// activity_entry: taking the plugin's activity lines apart, and telling them from the rest.
#include "report/activity_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvex {
namespace {

using std::chrono::sys_days;

struct Expected {
  std::string line;
  EntryKind kind;
  std::string detail;
  std::string peer;
  std::string sender;
};

const std::string kStamp = "2026-12-09 06:25:01 korvex-plesk[4711]: ";

TEST(ActivityLine, TakesApartEveryKindOfLineThePluginWrites) {
  const std::vector<Expected> cases = {
      {"HAM: mua=0,ip=[192.0.2.10:mail.partner.example],helo=<mail.partner.example>,"
       "from=<alice@partner.example>,rcpt=<bob@demo.example>",
       EntryKind::kHam, "", "192.0.2.10", "alice@partner.example"},
      {"SPAM[block_lists:bl.example,zen]: mua=0,ip=[192.0.2.66:mx.listed.example],"
       "helo=<mx.listed.example>,from=<news@listed.example>,rcpt=<bob@demo.example>",
       EntryKind::kSpam, "block_lists:bl.example,zen", "192.0.2.66", "news@listed.example"},
      // A block-list hit without list names, a bounce, and the fields of absent variables.
      {"SPAM[]: mua=1,ip=[(null):(null)],helo=<(null)>,from=<>,rcpt=<(null)>", EntryKind::kSpam, "",
       "(null)", ""},
      {"IP_EXEMPT: mua=0,ip=[198.51.100.7:],helo=<x>,from=<a@b.example>,rcpt=<c@d.example>",
       EntryKind::kExempt, "", "198.51.100.7", "a@b.example"},
      {"RCPT_EXEMPT: mua=0,ip=[192.0.2.1:h],helo=<x>,from=<a@b>,rcpt=<abuse@d>", EntryKind::kExempt,
       "", "192.0.2.1", "a@b"},
      {"FROM_WHITELIST: mua=0,ip=[192.0.2.1:h],helo=<x>,from=<a@b>,rcpt=<c@d>", EntryKind::kExempt,
       "", "192.0.2.1", "a@b"},
      {"REPORT[check_dynamic_reverse_dns]: mua=0,ip=[198.51.100.23:home-pc.isp.example],"
       "helo=<home-pc>,from=<joe@isp.example>,rcpt=<bob@demo.example>",
       EntryKind::kReportOnly, "check_dynamic_reverse_dns", "198.51.100.23", "joe@isp.example"},
      {"TEMPFAIL[resolve_helo_domain]: mua=0,ip=[192.0.2.5:h.example],helo=<h.example>,"
       "from=<a@b>,rcpt=<c@d>",
       EntryKind::kDeferral, "resolve_helo_domain", "192.0.2.5", "a@b"},
      // IPv6 peers: the address ends at the last colon, whatever the host part holds.
      {"SPAM[ip_blacklist]: mua=0,ip=[2001:db8:bad::5:mx6.blocked.example],helo=<mx6>,"
       "from=<c@p.example>,rcpt=<b@d.example>",
       EntryKind::kSpam, "ip_blacklist", "2001:db8:bad::5", "c@p.example"},
      {"SPAM[ip_blacklist]: mua=0,ip=[::ffff:192.0.2.9:],helo=<h>,from=<a@b>,rcpt=<c@d>",
       EntryKind::kSpam, "ip_blacklist", "::ffff:192.0.2.9", "a@b"},
      // A host name with a colon does not move an IPv4 address; a HELO with brackets and
      // a detail with a bracket stay where they belong.
      {"SPAM[from_blacklist]: mua=0,ip=[192.0.2.9:odd:name],helo=<[192.0.2.9]>,"
       "from=<x@y.example>,rcpt=<c@d>",
       EntryKind::kSpam, "from_blacklist", "192.0.2.9", "x@y.example"},
      {"SPAM[block_lists:list]x]: mua=0,ip=[192.0.2.9:h],helo=<h>,from=<x@y>,rcpt=<c@d>",
       EntryKind::kSpam, "block_lists:list]x", "192.0.2.9", "x@y"},
  };
  for (const Expected& expected : cases) {
    SCOPED_TRACE(expected.line);
    const std::string line = kStamp + expected.line;
    const std::optional<ActivityEntry> entry = parse_activity_line(line);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->day, sys_days{std::chrono::year{2026} / 12 / 9});
    EXPECT_EQ(entry->kind, expected.kind);
    EXPECT_EQ(entry->detail, expected.detail);
    EXPECT_EQ(entry->peer, expected.peer);
    EXPECT_EQ(entry->sender, expected.sender);
  }
}

TEST(ActivityLine, RefusesWhatThePluginNeverWrites) {
  const std::string rest = ": mua=0,ip=[192.0.2.1:h],helo=<h>,from=<a@b>,rcpt=<c@d>";
  const std::vector<std::string> lines = {
      "",
      "2026-12-09 06:25:01",
      "2026-02-30 06:25:01 korvex-plesk[1]: HAM" + rest,  // no such day
      "2026-12-09 24:00:00 korvex-plesk[1]: HAM" + rest,  // no such hour
      "2026-12-09T06:25:01 korvex-plesk[1]: HAM" + rest,
      "2026-12-9 06:25:01 korvex-plesk[1]: HAM" + rest,
      "2026-12-09 06:25:01 korvex-listmgr[1]: HAM" + rest,  // another program
      "2026-12-09 06:25:01 korvex-plesk[]: HAM" + rest,
      "2026-12-09 06:25:01 korvex-plesk: HAM" + rest,
      "2026-12-09 06:25:01 korvex-plesk[1]: ERROR" + rest,  // never given
      "2026-12-09 06:25:01 korvex-plesk[1]: SPAM" + rest,   // a refusal names what hit
      "2026-12-09 06:25:01 korvex-plesk[1]: HAMMER" + rest,
      "2026-12-09 06:25:01 korvex-plesk[1]: HAM: mua=x,ip=[1:h],helo=<h>,from=<a>,rcpt=<c>",
      "2026-12-09 06:25:01 korvex-plesk[1]: HAM: mua=0,ip=[192.0.2.1:h],helo=<h>,from=<a@b>",
      "2026-12-09 06:25:01 korvex-plesk[1]: HAM" + rest.substr(0, rest.size() - 1),  // cut
  };
  for (const std::string& line : lines) {
    EXPECT_FALSE(parse_activity_line(line).has_value()) << line;
  }
  EXPECT_FALSE(parse_line_day(lines[2]).has_value());
  EXPECT_EQ(parse_line_day(lines[6]), sys_days{std::chrono::year{2026} / 12 / 9});
}

TEST(SenderDomain, LowersTheDomainAndNamesSendersWithoutOne) {
  std::string scratch;
  EXPECT_EQ(sender_domain("Bob@Mail.Example.NET", &scratch), "mail.example.net");
  EXPECT_EQ(sender_domain("alice@partner.example", &scratch), "partner.example");
  EXPECT_EQ(sender_domain("\"a@b\"@c.example", &scratch), "c.example");
  EXPECT_EQ(sender_domain("", &scratch), "<>");
  EXPECT_EQ(sender_domain("postmaster", &scratch), "(no domain)");
  EXPECT_EQ(sender_domain("user@", &scratch), "(no domain)");
}

}  // namespace
}  // namespace korvex
