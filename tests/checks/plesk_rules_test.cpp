// Whole-program runs of korvex-plesk in the sandbox, with TARN maps and pattern lists at
// their fixed places and a DNS responder for the lookups: a session that trips a rule gets
// that rule's reply, its detail in the activity line and a tick in the spam counter.

#include <gtest/gtest.h>
#include <regex.h>
#include <syslog.h>

#include <ctime>
#include <string>
#include <vector>

#include "tarn/tarn_map_writer.h"
#include "tests/e2e/sandbox.h"

namespace korvex {
namespace {

using ::korvex::testing::RunResult;

const char kSite[] = "https://www.korvex.example";
const char kBanner[] = "Korvex 1.0.5-4 (https://www.korvex.example)";

// A session that passes every rule; each test spoils one fact of it.
struct Session {
  std::string ip = "192.0.2.10";
  std::optional<std::string> helo = "mail.example.net";
  std::optional<std::string> from = "sender@example.net";
  std::optional<std::string> rcpt = "user@example.org";

  std::vector<std::string> env() const {
    std::vector<std::string> vars = {"TCPREMOTEIP=" + ip};
    if (helo) vars.push_back("SMTPHELOHOST=" + *helo);
    if (from) vars.push_back("SMTPMAILFROM=" + *from);
    if (rcpt) vars.push_back("SMTPRCPTTO=" + *rcpt);
    return vars;
  }
};

std::string builtin_reply(const std::string& reason_text, const std::string& address) {
  return "P550-Your message was rejected by this system and was not delivered.\n"
         "P550-Reason: " +
         reason_text +
         "\n"
         "P550-Protection provided by: " +
         kBanner +
         "\n"
         "P550-For more information, please visit the URL:\n"
         "P550-" +
         address +
         "\n"
         "E550 or contact your ISP or mail server operator.\n";
}

std::string best_practices(const std::string& rule) {
  return std::string(kSite) + "/best_practices/" + rule + ".html";
}

std::vector<unsigned char> map_bytes(const std::vector<std::string>& entries) {
  tarn_map_builder builder;
  for (const auto& entry : entries) {
    tarn_block block{};
    EXPECT_TRUE(tarn_parse_block(entry, &block)) << entry;
    builder.add(block);
  }
  return builder.serialize();
}

class PleskRules : public ::korvex::testing::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    auto& box = sandbox();
    ASSERT_TRUE(box.install_program(KORVEX_PLESK_PATH, "korvex-plesk"));
    ASSERT_TRUE(
        box.place_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions attempts:1 timeout:2\n"));
    ASSERT_TRUE(
        box.dns().load_zone("ptr 192.0.2.10 mail.example.net\n"
                            "a mail.example.net 192.0.2.10\n"
                            "a example.net 192.0.2.10\n"
                            "mx example.org 10 mail.example.org\n"
                            "ptr 192.0.2.20 ppp-192-0-2-20.dialup.example.com\n"
                            "ptr 192.0.2.30 abused.example.com\n"));
    ASSERT_TRUE(box.place_file("/etc/korvex/dynaregex/dyna.regexes",
                               "# dynamic hosts\n^ppp-[0-9-]+\\.dialup\\.\n"));
    ASSERT_TRUE(box.place_file("/etc/korvex/dynaregex/spam.regexes",
                               "# abused hosts\n^abused\\.example\\.com$\n"));
    ASSERT_TRUE(box.place_file("/etc/korvex/control/rules.enabled",
                               "resolve_helo_domain\nvalid_from_domain\n"));
    ASSERT_TRUE(box.place_file("/etc/korvex/control/tarn.enabled", "beta\nalpha\ngamma\n"));
    place_map("alpha", {"198.51.100.0/24"});
    place_map("beta", {"198.51.100.7"});
    place_map("gamma", {"203.0.113.0/24"});
  }

  void place_map(const std::string& name, const std::vector<std::string>& entries) {
    const auto bytes = map_bytes(entries);
    ASSERT_TRUE(
        sandbox().place_file("/var/cache/tarn/" + name, std::string(bytes.begin(), bytes.end())));
  }

  RunResult run(const Session& session) {
    return sandbox().run({"/usr/share/korvex/bin/korvex-plesk"}, {.env = session.env()});
  }

  // The activity line the run wrote to the activity file, without time stamp and pid.
  std::string activity() {
    const std::string file = sandbox().read_file("/var/log/korvex/kxlog").value_or("");
    // std::regex trips g++ 12's uninitialised-use warning under the sanitizers.
    regex_t stamped;
    if (regcomp(&stamped,
                "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} korvex-plesk\\[[0-9]+\\]: ",
                REG_EXTENDED) != 0) {
      return "bad expression";
    }
    regmatch_t prefix{};
    const bool stamped_ok = regexec(&stamped, file.c_str(), 1, &prefix, 0) == 0;
    regfree(&stamped);
    if (!stamped_ok || file.empty() || file.back() != '\n' || file.find('\n') != file.size() - 1) {
      return "unexpected activity file: " + file;
    }
    return file.substr(static_cast<std::size_t>(prefix.rm_eo),
                       file.size() - 1 - static_cast<std::size_t>(prefix.rm_eo));
  }

  // Today's ham, spam and exempt counts.
  std::vector<std::uint32_t> today_counts() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    (void)std::snprintf(name, sizeof name, "/var/log/korvex/.counter.dat.%02d", local.tm_mon + 1);
    const std::string file = sandbox().read_file(name).value_or("");
    if (file.size() != 500) return {};
    std::vector<std::uint32_t> counts;
    const std::size_t slot = 4 + 16 * static_cast<std::size_t>(local.tm_mday - 1);
    for (std::size_t field = 1; field <= 3; ++field) {
      std::uint32_t value = 0;
      for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(file[slot + field * 4 + i]);
      }
      counts.push_back(value);
    }
    return counts;
  }

  // Runs session and expects the reply, activity line and spam tick of a refusal.
  void expect_refused(const Session& session, const std::string& reply, const std::string& detail) {
    const RunResult result = run(session);
    ASSERT_TRUE(result.exited_with(0)) << result.describe();
    EXPECT_EQ(result.out, reply);
    EXPECT_EQ(activity(), "SPAM[" + detail + "]: mua=0,ip=[" + session.ip + ":(null)],helo=<" +
                              session.helo.value_or("(null)") + ">,from=<" +
                              session.from.value_or("(null)") + ">,rcpt=<" +
                              session.rcpt.value_or("(null)") + ">");
    EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{0, 1, 0}));
  }
};

TEST_F(PleskRules, CleanSessionPassesEveryRule) {
  if (!has_sandbox()) return;
  const Session session;
  const RunResult result = run(session);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(activity(),
            "HAM: mua=0,ip=[192.0.2.10:(null)],helo=<mail.example.net>,"
            "from=<sender@example.net>,rcpt=<user@example.org>");
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{1, 0, 0}));
}

TEST_F(PleskRules, BlockListsNamesTheListsThatHoldThePeer) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().dns().add_ptr("198.51.100.7", "mail.example.net"));
  Session session;
  session.ip = "198.51.100.7";
  expect_refused(session,
                 builtin_reply("This system uses TARN to check your IP address reputation, and "
                               "was rejected by the system. IP=[198.51.100.7]",
                               std::string(kSite) + "/power_of_ip_reputation.html"),
                 "block_lists:alpha,beta");
}

TEST_F(PleskRules, SenderDomainMayNotBeAnAddress) {
  if (!has_sandbox()) return;
  Session literal;
  literal.from = "sender@192.0.2.99";
  expect_refused(literal,
                 builtin_reply("The system does not allow messages that use IP Addresses "
                               "instead of domain names",
                               best_practices("block_ip_in_addr")),
                 "block_ip_in_addr");
}

TEST_F(PleskRules, RecipientMustBeAFullAddress) {
  if (!has_sandbox()) return;
  Session session;
  session.rcpt = "postmaster";
  expect_refused(session,
                 builtin_reply("Invalid Recipient! You did not specify a complete email address "
                               "to send to.",
                               best_practices("require_full_addr")),
                 "require_full_addr");
}

TEST_F(PleskRules, SenderDomainMustResolve) {
  if (!has_sandbox()) return;
  Session session;
  session.from = "sender@gone.example";
  expect_refused(session,
                 builtin_reply("This system will not accept this message, based on the MAIL "
                               "FROM address provided",
                               best_practices("valid_from_domain")),
                 "valid_from_domain");
}

TEST_F(PleskRules, PeerWithoutReverseName) {
  if (!has_sandbox()) return;
  Session session;
  session.ip = "192.0.2.40";  // no PTR: NXDOMAIN
  expect_refused(session,
                 builtin_reply("This system will not accept messages from servers/devices with "
                               "no reverse DNS. IP=[192.0.2.40]",
                               best_practices("check_ip_reverse_dns")),
                 "check_ip_reverse_dns");
}

TEST_F(PleskRules, PeerWithDynamicReverseName) {
  if (!has_sandbox()) return;
  Session session;
  session.ip = "192.0.2.20";
  expect_refused(session,
                 builtin_reply("Your IP address [192.0.2.20] appears not to be an email server.",
                               best_practices("check_dynamic_reverse_dns")),
                 "check_dynamic_reverse_dns");
}

TEST_F(PleskRules, PeerWithAbusedReverseName) {
  if (!has_sandbox()) return;
  Session session;
  session.ip = "192.0.2.30";
  expect_refused(session,
                 builtin_reply("Your hostname matches a pattern which was abused in the past, "
                               "and rejected by the system. IP=[192.0.2.30]",
                               best_practices("check_reverse_dns_list")),
                 "check_reverse_dns_list");
}

TEST_F(PleskRules, HeloMustResolve) {
  if (!has_sandbox()) return;
  Session session;
  session.helo = "gone.example";
  expect_refused(session,
                 builtin_reply("Messages from your location are rejected, identification (HELO) "
                               "has no matching DNS entry.",
                               best_practices("resolve_helo_domain")),
                 "resolve_helo_domain");
}

TEST_F(PleskRules, HeloMustBeGiven) {
  if (!has_sandbox()) return;
  Session session;
  session.helo.reset();
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "valid_from_domain\n"));
  expect_refused(session,
                 builtin_reply("Messages from your location are rejected, missing identifier "
                               "(HELO). Contact your email administrator",
                               best_practices("require_helo")),
                 "require_helo");
}

TEST_F(PleskRules, HeloMustBeAPlausibleName) {
  if (!has_sandbox()) return;
  Session session;
  session.helo = "localhost";
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", "valid_from_domain\n"));
  expect_refused(session,
                 builtin_reply("Messages from your location are rejected, bad or missing "
                               "identifier (HELO). Contact your email administrator",
                               best_practices("valid_helo_domain")),
                 "valid_helo_domain");
}

}  // namespace
}  // namespace korvex
