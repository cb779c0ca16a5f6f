// Whole-program tests of the known_sender_forgery rule: korvex-plesk run as qmail-spp runs
// it, with the forgery table at its fixed place and the rule switched on by rules.enabled.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/e2e/counter_slot.h"
#include "tests/e2e/sandbox.h"

namespace korvex::testing {
namespace {

const std::string kPlesk = std::string(kProgramDirectory) + "/korvex-plesk";
constexpr const char* kTable = "/etc/korvex/control/valid_domain_ips";

class PleskForgery : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(
        sandbox().place_file("/etc/korvex/control/rules.enabled", "known_sender_forgery\n"));
    // The other rules are off so that only the forgery rule decides.
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled",
                                     "block_lists\nblock_ip_in_addr\ncheck_ip_reverse_dns\n"
                                     "check_dynamic_reverse_dns\ncheck_reverse_dns_list\n"
                                     "require_full_addr\nrequire_helo\nvalid_helo_domain\n"));
    ASSERT_TRUE(sandbox().place_file(kTable,
                                     "# domains that send only from their own networks\n"
                                     "Bank.Example: 192.0.2.0/24, 198.51.100.7\n"));
  }

  RunResult run_from(const std::string& ip) {
    return sandbox().run({kPlesk},
                         {.env = {"TCPREMOTEIP=" + ip, "TCPREMOTEHOST=mx.bank.example",
                                  "SMTPHELOHOST=mx.bank.example", "SMTPMAILFROM=alice@BANK.example",
                                  "SMTPRCPTTO=bob@example.org"}});
  }

  static std::string activity(const std::string& verdict, const std::string& ip) {
    return "mail.info korvex-plesk: " + verdict + ": mua=0,ip=[" + ip +
           ":mx.bank.example],helo=<mx.bank.example>,from=<alice@BANK.example>,rcpt=<bob@example."
           "org>";
  }

  // The counts (ham, spam, exempt) of today's slot in this month's counter file.
  std::vector<unsigned> today_counts() { return testing::today_counts(sandbox()); }
};

std::vector<std::string> described(const RunResult& run) {
  std::vector<std::string> result;
  for (const SyslogLine& line : run.syslog) result.push_back(line.describe());
  return result;
}

TEST_F(PleskForgery, RefusesAListedDomainFromAnOutsideAddress) {
  const RunResult run = run_from("198.51.100.8");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out,
            "P550-Your message was rejected by this system and was not delivered.\n"
            "P550-Reason: Your message does not conform to our acceptance polices and was "
            "rejected\n"
            "P550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)\n"
            "P550-For more information, please visit the URL:\n"
            "P550-https://www.korvex.example/best_practices/known_sender_forgery.html\n"
            "E550 or contact your ISP or mail server operator.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(described(run),
            (std::vector<std::string>{activity("SPAM[known_sender_forgery]", "198.51.100.8")}));
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{0, 1, 0}));

  // Without rules.enabled the rule keeps its default: off.
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", ""));
  const RunResult unchecked = run_from("198.51.100.8");
  ASSERT_TRUE(unchecked.exited_with(0)) << unchecked.describe();
  EXPECT_EQ(unchecked.out, "");
  EXPECT_EQ(described(unchecked), (std::vector<std::string>{activity("HAM", "198.51.100.8")}));
}

TEST_F(PleskForgery, PassesAllowedAddressesAndFailsOpenOnABrokenTable) {
  RunResult run = run_from("192.0.2.200");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run), (std::vector<std::string>{activity("HAM", "192.0.2.200")}));

  ASSERT_TRUE(sandbox().place_file(kTable, "bank.example 192.0.2.0/24\nbank.example: x/24\n"));
  run = run_from("198.51.100.8");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(described(run), (std::vector<std::string>{activity("HAM", "198.51.100.8")}));

  ASSERT_TRUE(sandbox().place_file(kTable, std::string("\0bank.example: 192.0.2.0/24\n", 28)));
  run = run_from("198.51.100.8");
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(today_counts(), (std::vector<unsigned>{3, 0, 0}));
}

}  // namespace
}  // namespace korvex::testing
