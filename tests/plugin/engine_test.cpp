#include "plugin/engine.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "plugin_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/testkit/whole_match.h"

namespace korvex {
namespace {

using testing::CapturedStream;
using testing::LogCapture;
using testing::literal;
using testing::LoggedLine;
using testing::matches_whole;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// 2024-03-15 12:00:00 UTC and the midnight that starts that day.
constexpr std::time_t kNoon = 1710460800 + 12 * 3600;
constexpr std::uint32_t kMidnight = 1710460800;
constexpr std::size_t kDay15Slot = 4 + 16 * 14;

std::map<std::string, CheckResult> rule_results;
std::vector<std::string> rules_run;
string_list tarn_hits;

CheckResult scripted(const std::string& name) {
  rules_run.push_back(name);
  const auto found = rule_results.find(name);
  return found != rule_results.end() ? found->second : DUNNO;
}

CheckResult check_first(const CheckContext&, SessionState) { return scripted("first"); }
CheckResult check_mua(const CheckContext&, SessionState) { return scripted("mua_rule"); }
CheckResult check_from(const CheckContext&, SessionState) { return scripted("valid_from_domain"); }
CheckResult check_last(const CheckContext&, SessionState) { return scripted("last"); }
CheckResult check_lists(const CheckContext&, SessionState, const string_list& tarn_lists,
                        string_list* hits) {
  EXPECT_EQ(tarn_lists, (string_list{"alpha", "beta"}));
  const CheckResult result = scripted("block_lists");
  *hits = tarn_hits;
  return result;
}

// A rule whose lookup failed for a temporary reason: it notes so, then says what it is told.
CheckResult check_troubled(const CheckContext& context, SessionState) {
  if (context.notes != nullptr) context.notes->temporary_failure = true;
  return scripted("troubled");
}
CheckResult check_trial(const CheckContext& context, SessionState) {
  if (context.notes != nullptr) context.notes->temporary_failure = true;
  return scripted("trial");
}

RuleTable scripted_rules() {
  return {
      {"block_lists", RuleState::Enabled, 0, 44, check_lists},
      {"first", RuleState::Enabled, 0, 25, check_first},
      {"off_rule", RuleState::Disabled, 1, 23, check_first},
      {"mua_rule", RuleState::Enabled, 1, 21, check_mua},
      {"valid_from_domain", RuleState::Enabled, 0, 2, check_from, true},
      {"last", RuleState::Enabled, 1, 17, check_last},
  };
}

std::uint32_t word_at(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

void put_word(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

std::string counter_file(std::uint32_t day_start, std::uint32_t ham, std::uint32_t spam,
                         std::uint32_t exempt, std::size_t slot = kDay15Slot) {
  std::string bytes(500, '\0');
  put_word(&bytes, slot, day_start);
  put_word(&bytes, slot + 4, ham);
  put_word(&bytes, slot + 8, spam);
  put_word(&bytes, slot + 12, exempt);
  return bytes;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    rule_results.clear();
    rules_run.clear();
    tarn_hits.clear();
    context.enabled_rules = scripted_rules();
    context.default_rules = scripted_rules();
    context.tarn_lists = {"alpha", "beta"};
    context.logger = testing::capture_sink;
    setup.list_dir = lists.path();
    setup.log_dir = dir.path();
    setup.system_log = testing::capture_sink;
    state.ip = "192.0.2.1";
    state.remote_host = "mail.example.net";
    state.helo = "mail.example.net";
    state.mail_from = "alice@example.net";
    state.rcpt_to = "bob@example.org";
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }

  // The counts of today's slot: ham, spam, exempt.
  std::vector<std::uint32_t> today_counts() const {
    std::tm local = {};
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &local);
    const std::string bytes = read_file(counter_file_path(dir.file(".counter.dat"), local.tm_mon + 1));
    if (bytes.size() != 500) return {};
    const auto slot = static_cast<std::size_t>(counter_slot_offset(local.tm_mday));
    return {word_at(bytes, slot + 4), word_at(bytes, slot + 8), word_at(bytes, slot + 12)};
  }

  std::string decided_line(std::string* printed = nullptr) {
    CapturedStream out;
    const std::optional<VerdictRecord> record =
        decide(context, state, spp_print_lines, out.get(), setup);
    EXPECT_TRUE(record);
    if (printed != nullptr) *printed = out.text();
    return record ? record->log_line : std::string();
  }

  // Puts the peer (192.0.2.1), the sender or the recipient on the named list files.
  void listed(const std::vector<std::string>& files) const {
    const std::map<std::string, std::string> entries = {
        {"exempt_ips", "192.0.2.1"},          {"blocked_ips", "10.0.0.9\n192.0.2.1"},
        {"exempt_users", "BOB@example.org"},  {"from_whitelist", "*@example.net"},
        {"blocked_from", "alice@example.net"},
    };
    for (const auto& [name, entry] : entries) std::filesystem::remove(lists.file(name));
    for (const std::string& name : files) write_file(lists.file(name), entries.at(name) + "\n");
  }

  TempDir dir;
  TempDir lists;
  EngineContext context;
  EngineSetup setup;
  SessionState state = empty_state;
  LogCapture capture;
};

TEST_F(Engine, ExemptionWinsOverBlackListsAndPrintsNothing) {
  listed({"exempt_ips", "blocked_ips"});
  std::string printed;
  EXPECT_EQ(decided_line(&printed),
            "IP_EXEMPT: mua=0,ip=[192.0.2.1:mail.example.net],helo=<mail.example.net>,"
            "from=<alice@example.net>,rcpt=<bob@example.org>");
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(rules_run.empty());
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{0, 0, 1}));

  listed({"from_whitelist", "blocked_from", "blocked_ips"});
  EXPECT_EQ(decided_line().substr(0, 16), "FROM_WHITELIST: ");
  listed({"exempt_users", "from_whitelist"});
  EXPECT_EQ(decided_line().substr(0, 13), "RCPT_EXEMPT: ");
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{0, 0, 3}));
}

TEST_F(Engine, BlockedSenderReplacesBlockedIpAndRefuses) {
  listed({"blocked_ips", "blocked_from"});
  std::string printed;
  const std::optional<VerdictRecord> record = [&] {
    CapturedStream out;
    auto result = decide(context, state, spp_print_lines, out.get(), setup);
    printed = out.text();
    return result;
  }();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->verdict, Verdict::SPAM);
  EXPECT_EQ(record->rejected, 1);
  EXPECT_EQ(record->reason, 28);
  EXPECT_EQ(record->detail, "from_blacklist");
  EXPECT_EQ(record->log_line,
            "SPAM[from_blacklist]: mua=0,ip=[192.0.2.1:mail.example.net],"
            "helo=<mail.example.net>,from=<alice@example.net>,rcpt=<bob@example.org>");
  EXPECT_EQ(printed,
            "P550-Your message was rejected by this system and was not delivered.\n"
            "P550-Reason: This system will not accept messages from you\n"
            "P550-Protection provided by: Korvex 1.0.5-4 (https://www.korvex.example)\n"
            "P550-For more information, please visit the URL:\n"
            "P550-https://www.korvex.example/empowering_the_user\n"
            "E550 or contact your ISP or mail server operator.\n");
  EXPECT_TRUE(rules_run.empty());

  listed({"blocked_ips"});
  EXPECT_EQ(decided_line().substr(0, 19), "SPAM[ip_blacklist]:");
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{0, 2, 0}));
}

TEST_F(Engine, RulesRunInOrderSkippingDisabledMuaAndNdrRows) {
  rule_results = {{"first", TEMPFAIL}, {"last", static_cast<CheckResult>(7)}};
  state.mail_from = "";
  std::string printed;
  EXPECT_EQ(decided_line(&printed),
            "HAM: mua=0,ip=[192.0.2.1:mail.example.net],helo=<mail.example.net>,from=<>,"
            "rcpt=<bob@example.org>");
  EXPECT_EQ(printed, "");
  EXPECT_EQ(rules_run, (std::vector<std::string>{"block_lists", "first", "mua_rule", "last"}));
  EXPECT_EQ(capture.lines(),
            (std::vector<LoggedLine>{
                {LOG_DEBUG, "Checking exemption lists..."},
                {LOG_DEBUG, "Checking black lists..."},
                {LOG_DEBUG, "Checking rules..."},
                {LOG_DEBUG, "Checking 'block_lists': DUNNO"},
                {LOG_DEBUG, "Checking 'first': TEMPFAIL"},
                {LOG_DEBUG, "NOT CHECKING: 'off_rule': disabled"},
                {LOG_DEBUG, "Checking 'mua_rule': DUNNO"},
                {LOG_DEBUG,
                 "Skipping rule 'valid_from_domain' because message appears to be NDR"},
                {LOG_DEBUG, "Checking 'last': <UNKNOWN>"},
            }));
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{1, 0, 0}));

  rules_run.clear();
  capture.clear();
  state.mua = 1;
  state.mail_from = std::nullopt;
  EXPECT_EQ(decided_line().substr(0, 12), "HAM: mua=1,i");
  EXPECT_EQ(rules_run, (std::vector<std::string>{"mua_rule", "last"}));
  EXPECT_EQ(capture.lines()[3],
            (LoggedLine{LOG_DEBUG,
                        "Skipping rule 'block_lists' because remote system appears to be MUA."}));
}

TEST_F(Engine, FirstHitRefusesWithTheRuleReason) {
  rule_results = {{"mua_rule", HIT}};
  std::string printed;
  EXPECT_EQ(decided_line(&printed),
            "SPAM[mua_rule]: mua=0,ip=[192.0.2.1:mail.example.net],helo=<mail.example.net>,"
            "from=<alice@example.net>,rcpt=<bob@example.org>");
  EXPECT_EQ(rules_run, (std::vector<std::string>{"block_lists", "first", "mua_rule"}));
  EXPECT_NE(printed.find("P550-Reason: Messages from your location are rejected, missing "
                         "identifier (HELO). Contact your email administrator\n"),
            std::string::npos);
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{0, 1, 0}));
}

TEST_F(Engine, OnlyANotedTemporaryFailureOfARefusingRuleDefers) {
  context.checks.defer_on_tempfail = true;
  context.enabled_rules = RuleTable{
      {"trial", RuleState::Report, 0, 25, check_trial},
      {"first", RuleState::Enabled, 0, 25, check_first},
      {"troubled", RuleState::Enabled, 0, 23, check_troubled},
      {"last", RuleState::Enabled, 0, 17, check_last},
  };
  // A rule on trial that cannot look up, and a TEMPFAIL without lookup trouble, defer
  // nothing; the noted one does, once nothing refuses.
  rule_results = {{"trial", TEMPFAIL}, {"first", TEMPFAIL}, {"troubled", TEMPFAIL}};
  std::string printed;
  const std::string tail =
      ": mua=0,ip=[192.0.2.1:mail.example.net],helo=<mail.example.net>,"
      "from=<alice@example.net>,rcpt=<bob@example.org>";
  EXPECT_EQ(decided_line(&printed), "TEMPFAIL[troubled]" + tail);
  EXPECT_EQ(printed, "E451 4.4.3 Temporary DNS failure in troubled; try again later\n");
  EXPECT_EQ(rules_run, (std::vector<std::string>{"trial", "first", "troubled", "last"}));
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{}));

  // The same trouble with the flag off is no reason to wait.
  context.checks.defer_on_tempfail = false;
  EXPECT_EQ(decided_line(&printed), "HAM" + tail);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(today_counts(), (std::vector<std::uint32_t>{1, 0, 0}));
}

TEST_F(Engine, BlockListHitNamesTheListsThatHoldThePeer) {
  rule_results = {{"block_lists", HIT}};
  tarn_hits = {"alpha", "beta"};
  const std::optional<VerdictRecord> record = decide(context, state, nullptr, nullptr, setup);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->reason, 44);
  EXPECT_EQ(record->detail, "block_lists:alpha,beta");

  tarn_hits.clear();
  const std::optional<VerdictRecord> nameless = decide(context, state, nullptr, nullptr, setup);
  ASSERT_TRUE(nameless);
  EXPECT_EQ(nameless->detail, std::nullopt);
  EXPECT_EQ(nameless->log_line.substr(0, 8), "SPAM[]: ");
}

TEST_F(Engine, ActivityLineCannotBeForgedByClientValues) {
  state.helo = "x>,from=<a>\nHAM: mua=0";
  state.rcpt_to = "b\r\x01@c";
  state.remote_host = std::nullopt;
  EXPECT_EQ(decided_line(),
            "HAM: mua=0,ip=[192.0.2.1:(null)],helo=<x>,from=<a> HAM: mua=0>,"
            "from=<alice@example.net>,rcpt=<b  @c>");
}

TEST_F(Engine, RunAndReportLogsAndAppendsTheActivityLine) {
  listed({"blocked_ips"});
  CapturedStream out;
  EXPECT_TRUE(run_and_report(context, state, setup, out.get()));
  listed({});
  EXPECT_FALSE(run_and_report(context, state, setup, out.get()));
  const std::string tail =
      ": mua=0,ip=[192.0.2.1:mail.example.net],helo=<mail.example.net>,"
      "from=<alice@example.net>,rcpt=<bob@example.org>";
  EXPECT_EQ(capture.lines()[2], (LoggedLine{LOG_INFO, "SPAM[ip_blacklist]" + tail}));
  EXPECT_EQ(capture.lines().back(), (LoggedLine{LOG_INFO, "HAM" + tail}));
  const std::string printed = out.text();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 6);

  const std::string stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} korvex-plesk\\[" +
                            std::to_string(getpid()) + "\\]: ";
  const std::string kxlog = read_file(dir.file("kxlog"));
  EXPECT_TRUE(matches_whole(kxlog, stamp + literal("SPAM[ip_blacklist]" + tail) + "\n" + stamp +
                                       literal("HAM" + tail) + "\n"))
      << kxlog;
}

TEST_F(Engine, MissingLogDirectoryStillDecidesAndLogs) {
  setup.log_dir = dir.file("missing");
  listed({"blocked_ips"});
  CapturedStream out;
  EXPECT_TRUE(run_and_report(context, state, setup, out.get()));
  const std::string printed = out.text();
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 6);
  EXPECT_EQ(capture.lines().back().text.substr(0, 19), "SPAM[ip_blacklist]:");
  EXPECT_FALSE(std::filesystem::exists(setup.log_dir));
}

TEST(CounterFile, CountsIntoTheDaySlotAsLittleEndianWords) {
  setenv("TZ", "UTC0", 1);
  tzset();
  TempDir dir;
  const std::string base = dir.file(".counter.dat");
  bump_counter_at(base, CounterKind::kHam, kNoon);
  bump_counter_at(base, CounterKind::kSpam, kNoon + 60);
  bump_counter_at(base, CounterKind::kSpam, kNoon + 120);
  bump_counter_at(base, CounterKind::kExempt, kNoon + 180);
  EXPECT_EQ(read_file(dir.file(".counter.dat.03")), counter_file(kMidnight, 1, 2, 1));
  EXPECT_EQ(counter_file_path(base, 12), base + ".12");
  EXPECT_EQ(counter_slot_offset(31), 484);
  EXPECT_EQ(counter_day_start(kNoon), static_cast<std::int32_t>(kMidnight));
  unsetenv("TZ");
  tzset();
}

TEST(CounterFile, ResetsStaleOrMalformedFilesBeforeCounting) {
  setenv("TZ", "UTC0", 1);
  tzset();
  TempDir dir;
  const std::string base = dir.file(".counter.dat");
  const std::string path = dir.file(".counter.dat.03");
  const std::uint32_t month = 31 * 86400;
  const std::string day1_counts = counter_file(kMidnight - 14 * 86400, 4, 5, 6, 4);

  // An unused slot for today keeps the other days.
  write_file(path, day1_counts);
  bump_counter_at(base, CounterKind::kHam, kNoon);
  std::string expected = day1_counts;
  put_word(&expected, kDay15Slot, kMidnight);
  put_word(&expected, kDay15Slot + 4, 1);
  EXPECT_EQ(read_file(path), expected);

  // Exactly 31 days old is still this month's; one second more is a year-old month.
  std::string kept = counter_file(kMidnight - month, 1, 1, 1);
  write_file(path, kept);
  bump_counter_at(base, CounterKind::kExempt, kNoon);
  put_word(&kept, kDay15Slot + 12, 2);
  EXPECT_EQ(read_file(path), kept);

  const std::vector<std::string> stale_files = {
      counter_file(kMidnight - month - 1, 9, 9, 9),
      counter_file(kMidnight + 86400, 9, 9, 9),
      std::string(499, '\0'),
      std::string(501, '\0'),
      "\x01" + std::string(499, '\0'),
  };
  for (const std::string& stale : stale_files) {
    write_file(path, stale);
    bump_counter_at(base, CounterKind::kSpam, kNoon);
    EXPECT_EQ(read_file(path), counter_file(kMidnight, 0, 1, 0)) << stale.size();
  }
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace korvex
