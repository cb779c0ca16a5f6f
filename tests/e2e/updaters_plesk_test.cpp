// Whole-program tests joining the updaters and the plugin: tarn_update, regexpull and
// ksfpull fetch from loopback mirrors, and korvex-plesk then refuses with what they installed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarn/tarn_map_writer.h"
#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"
#include "tests/e2e/tarn_fixtures.h"

namespace korvex::testing {
namespace {

const std::string kBin = std::string(kProgramDirectory) + "/";

// The rules that are on unless rules.disabled names them.
const std::vector<std::string> kDefaultOnRules = {"block_lists",
                                                  "block_ip_in_addr",
                                                  "check_ip_reverse_dns",
                                                  "check_dynamic_reverse_dns",
                                                  "check_reverse_dns_list",
                                                  "require_full_addr",
                                                  "require_helo",
                                                  "valid_helo_domain"};

std::vector<std::string> described(const RunResult& run) {
  std::vector<std::string> result;
  for (const SyslogLine& line : run.syslog) result.push_back(line.describe());
  return result;
}

class UpdatedPlugin : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
  }

  // only_rule - let rule alone decide: the other default rules off, rule switched on.
  void only_rule(const std::string& rule) {
    std::string disabled;
    for (const std::string& other : kDefaultOnRules) {
      if (other != rule) disabled += other + "\n";
    }
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled", disabled));
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.enabled", rule + "\n"));
  }

  // updater - run an installed updater and expect success.
  void updater(const std::string& name, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {kBin + name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const RunResult run = sandbox().run(argv);
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
  }

  RunResult session(const std::string& ip, const std::string& from) {
    const RunResult run = sandbox().run(
        {kBin + "korvex-plesk"}, {.env = {"TCPREMOTEIP=" + ip, "SMTPHELOHOST=mail.example.net",
                                          "SMTPMAILFROM=" + from, "SMTPRCPTTO=bob@example.org"}});
    EXPECT_TRUE(run.exited_with(0)) << run.describe();
    return run;
  }

  static std::string activity(const std::string& verdict, const std::string& ip,
                              const std::string& from) {
    return "mail.info korvex-plesk: " + verdict + ": mua=0,ip=[" + ip +
           ":(null)],helo=<mail.example.net>,from=<" + from + ">,rcpt=<bob@example.org>";
  }
};

TEST_F(UpdatedPlugin, FetchedTarnMapRefusesItsListedPeers) {
  if (!has_sandbox()) return;
  only_rule("block_lists");
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_TARN_UPDATE, "tarn_update"));
  ASSERT_TRUE(sandbox().make_directory("/var/cache/tarn/incoming"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/tarn/lists_to_update", "spamhosts\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/tarn/mirror_info", "http://127.0.0.1/tarn/\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/tarn.enabled", "spamhosts\n"));
  const std::string map = map_of({"198.51.100.0/24", "203.0.113.7"});
  sandbox().http().serve_body("/tarn/spamhosts.bz2", bzip2_of(map));

  updater("tarn_update", {"-f", "/etc/korvex/tarn/lists_to_update", "-m",
                          "/etc/korvex/tarn/mirror_info", "-u", "/var/cache/tarn/"});
  EXPECT_EQ(sandbox().read_file("/var/cache/tarn/spamhosts"), map);

  const RunResult refused = session("198.51.100.44", "alice@example.net");
  EXPECT_EQ(refused.out, builtin_reply("This system uses TARN to check your IP address "
                                       "reputation, and was rejected by the system. "
                                       "IP=[198.51.100.44]",
                                       "https://www.korvex.example/power_of_ip_reputation.html"));
  EXPECT_EQ(described(refused),
            (std::vector<std::string>{
                activity("SPAM[block_lists:spamhosts]", "198.51.100.44", "alice@example.net")}));

  const RunResult passed = session("203.0.113.8", "alice@example.net");
  EXPECT_EQ(passed.out, "");
  EXPECT_EQ(described(passed),
            (std::vector<std::string>{activity("HAM", "203.0.113.8", "alice@example.net")}));
}

TEST_F(UpdatedPlugin, FetchedDynamicPatternsRefuseMatchingReverseNames) {
  if (!has_sandbox()) return;
  only_rule("check_dynamic_reverse_dns");
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_REGEXPULL, "regexpull"));
  ASSERT_TRUE(sandbox().dns().add_a("regex.korvex.example", "127.0.0.1"));
  ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.20", "ppp-192-0-2-20.dialup.example.com"));
  ASSERT_TRUE(sandbox().dns().add_ptr("192.0.2.21", "mail.example.com"));
  ASSERT_TRUE(sandbox().make_directory("/etc/korvex/dynaregex"));
  const std::string listing =
      "# Dynamic Style Regular Expression Listing, Autogenerated by Quorvane\n"
      "^ppp-[0-9-]+\\.dialup\\.\n";
  sandbox().http().serve_body("/opensource/anti_spam/dynamic_regex/print_regex.php", listing);

  updater("regexpull", {"-f", "/etc/korvex/dynaregex/dyna.regexes", "-c", "tested", "-t", "DUL",
                        "-e", "-p", "korvex"});
  EXPECT_EQ(sandbox().read_file("/etc/korvex/dynaregex/dyna.regexes"), listing);

  const RunResult refused = session("192.0.2.20", "alice@example.net");
  EXPECT_EQ(refused.out,
            builtin_reply("Your IP address [192.0.2.20] appears not to be an email server.",
                          "https://www.korvex.example/best_practices/"
                          "check_dynamic_reverse_dns.html"));
  EXPECT_EQ(described(refused),
            (std::vector<std::string>{
                activity("SPAM[check_dynamic_reverse_dns]", "192.0.2.20", "alice@example.net")}));

  const RunResult passed = session("192.0.2.21", "alice@example.net");
  EXPECT_EQ(passed.out, "");
  EXPECT_EQ(described(passed),
            (std::vector<std::string>{activity("HAM", "192.0.2.21", "alice@example.net")}));
}

TEST_F(UpdatedPlugin, FetchedForgeryTableRefusesForgedSenders) {
  if (!has_sandbox()) return;
  only_rule("known_sender_forgery");
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KSFPULL, "ksfpull"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/ksf.mirrors", "http://127.0.0.1/mirror\n"));
  const std::string table = "bank.example: 192.0.2.0/24\n";
  sandbox().http().serve_body("/mirror/ksf/valid_domain_ips", table);

  updater("ksfpull", {});
  EXPECT_EQ(sandbox().read_file("/etc/korvex/control/valid_domain_ips"), table);

  const RunResult refused = session("198.51.100.8", "alice@bank.example");
  EXPECT_EQ(refused.out,
            builtin_reply("Your message does not conform to our acceptance polices and was "
                          "rejected",
                          "https://www.korvex.example/best_practices/known_sender_forgery.html"));
  EXPECT_EQ(described(refused),
            (std::vector<std::string>{
                activity("SPAM[known_sender_forgery]", "198.51.100.8", "alice@bank.example")}));

  const RunResult passed = session("192.0.2.8", "alice@bank.example");
  EXPECT_EQ(passed.out, "");
  EXPECT_EQ(described(passed),
            (std::vector<std::string>{activity("HAM", "192.0.2.8", "alice@bank.example")}));
}

}  // namespace
}  // namespace korvex::testing
