// Whole-program tests of many programs at once, as on a busy mail server: korvex-plesk runs
// side by side, while korvex-listmgr, korvex-rejmsg and tarn_update replace what they read.
// Each test prints one summary line with the counts it established.
#include <gtest/gtest.h>
#include <regex.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tarn/tarn_map_writer.h"
#include "tests/e2e/plesk_replies.h"
#include "tests/e2e/sandbox.h"
#include "tests/e2e/tarn_fixtures.h"

namespace korvex::testing {
namespace {

const std::string kBin = std::string(kProgramDirectory) + "/";
const std::string kPlesk = kBin + "korvex-plesk";

// Plugin runs at once, as qmail-spp starts them for concurrent connections.
constexpr unsigned kParallel = 16;

// The sanitized programs start several times slower; there the counts are a quarter of
// the full ones, which the normal configuration runs.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kScale = 4;
#else
constexpr std::size_t kScale = 1;
#endif
constexpr std::size_t kManyRuns = 2000 / kScale;
constexpr std::size_t kReaderRuns = 800 / kScale;

// Only rules that need no DNS answer stay on: require_helo and require_full_addr.
const std::string kDnsRulesOff =
    "block_lists\nblock_ip_in_addr\ncheck_ip_reverse_dns\ncheck_dynamic_reverse_dns\n"
    "check_reverse_dns_list\nvalid_helo_domain\n";

struct Session {
  std::string ip;
  std::string helo;  // empty: no HELO given
  std::string from;
  std::string rcpt;
};

std::vector<std::string> env_of(const Session& session) {
  std::vector<std::string> env = {"TCPREMOTEIP=" + session.ip, "TCPREMOTEHOST=mail.example.net",
                                  "SMTPMAILFROM=" + session.from, "SMTPRCPTTO=" + session.rcpt};
  if (!session.helo.empty()) env.push_back("SMTPHELOHOST=" + session.helo);
  return env;
}

Session peer(const std::string& ip) {
  return {ip, "mail.example.net", "alice@example.net", "bob@example.org"};
}

ProgramJob plesk_job(const Session& session) { return {{kPlesk}, {.env = env_of(session)}}; }

// The activity line of a run, without its time stamp and process id.
std::string activity(const std::string& verdict, const Session& session) {
  return verdict + ": mua=0,ip=[" + session.ip + ":mail.example.net],helo=<" +
         (session.helo.empty() ? "(null)" : session.helo) + ">,from=<" + session.from + ">,rcpt=<" +
         session.rcpt + ">";
}

// The syslog line of a run's activity, keyed by its process id.
std::string logged_activity(const RunResult& run, const std::string& verdict,
                            const Session& session) {
  return std::to_string(run.pid) + " mail.info korvex-plesk: " + activity(verdict, session);
}

std::string tarn_reply(const std::string& ip) {
  return builtin_reply(
      "This system uses TARN to check your IP address reputation, and was "
      "rejected by the system. IP=[" +
          ip + "]",
      "https://www.korvex.example/power_of_ip_reputation.html");
}

const std::string kNoHeloReply = builtin_reply(
    "Messages from your location are rejected, missing identifier (HELO). Contact your email "
    "administrator",
    "https://www.korvex.example/best_practices/require_helo.html");


// difference - up to five entries each that one side holds more often than the other;
// empty when both hold the same.
std::string difference(const std::multiset<std::string>& expected,
                       const std::multiset<std::string>& actual) {
  std::vector<std::string> missing;
  std::vector<std::string> unexpected;
  std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(),
                      std::back_inserter(missing));
  std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                      std::back_inserter(unexpected));
  std::string text;
  const auto show = [&text](const std::string& label, const std::vector<std::string>& items) {
    for (std::size_t index = 0; index < items.size() && index < 5; ++index) {
      text += label + items[index] + "\n";
    }
    if (items.size() > 5) text += label + "... and " + std::to_string(items.size() - 5) + " more\n";
  };
  show("missing: ", missing);
  show("unexpected: ", unexpected);
  return text;
}

// Problems found in many runs: the first few are kept, all are counted.
class Findings {
 public:
  void add(const std::string& what) {
    if (++count_ <= 5) text_ += what + "\n";
  }
  std::string report() const {
    return count_ <= 5 ? text_ : text_ + "... " + std::to_string(count_ - 5) + " more\n";
  }

 private:
  std::size_t count_ = 0;
  std::string text_;
};

// Splits the activity file into "pid text" entries; whatever is not one whole line of
// the file's format is reported as a finding.
std::multiset<std::string> activity_entries(const std::string& file, Findings* findings) {
  regex_t shape;
  const char* pattern =
      "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} korvex-plesk\\[([0-9]+)\\]: (.*)$";
  std::multiset<std::string> entries;
  if (regcomp(&shape, pattern, REG_EXTENDED) != 0) {
    findings->add("the line expression does not compile");
    return entries;
  }
  if (!file.empty() && file.back() != '\n') findings->add("the file ends inside a line");
  std::size_t start = 0;
  while (start < file.size()) {
    std::size_t end = file.find('\n', start);
    if (end == std::string::npos) end = file.size();
    const std::string line = file.substr(start, end - start);
    regmatch_t parts[3];
    if (regexec(&shape, line.c_str(), 3, parts, 0) == 0) {
      const auto part = [&line, &parts](int index) {
        return line.substr(static_cast<std::size_t>(parts[index].rm_so),
                           static_cast<std::size_t>(parts[index].rm_eo - parts[index].rm_so));
      };
      entries.insert(part(1) + " " + part(2));
    } else {
      findings->add("not an activity line: " + line);
    }
    start = end + 1;
  }
  regfree(&shape);
  return entries;
}

std::tm local_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  localtime_r(&now, &local);
  return local;
}

class ConcurrentRuns : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (!has_sandbox()) return;
    ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_PLESK, "korvex-plesk"));
    ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled", kDnsRulesOff));
  }

  // The counts (ham, spam, exempt) of the slot of day in this month's counter file.
  std::vector<unsigned> counts_of_day(const std::tm& day) {
    char name[64] = {};
    std::snprintf(name, sizeof name, "/var/log/korvex/.counter.dat.%02d", day.tm_mon + 1);
    const std::optional<std::string> bytes = sandbox().read_file(name);
    if (!bytes || bytes->size() != 500) return {};
    const std::size_t slot = 4 + 16 * static_cast<std::size_t>(day.tm_mday - 1);
    std::vector<unsigned> counts;
    for (std::size_t field = slot + 4; field < slot + 16; field += 4) {
      unsigned value = 0;
      for (int i = 3; i >= 0; --i) {
        value =
            value << 8 | static_cast<unsigned char>((*bytes)[field + static_cast<std::size_t>(i)]);
      }
      counts.push_back(value);
    }
    return counts;
  }

  // The plugin's syslog lines as "pid facility.severity identity: text".
  std::multiset<std::string> plesk_syslog() {
    std::multiset<std::string> lines;
    for (const SyslogLine& line : sandbox().syslog()) {
      if (line.identity != "korvex-plesk") continue;
      lines.insert(std::to_string(line.pid.value_or(-1)) + " " + line.describe());
    }
    return lines;
  }

  // Syslog lines of any program at warning priority or worse.
  std::vector<std::string> troubles() {
    std::vector<std::string> found;
    for (const SyslogLine& line : sandbox().syslog()) {
      if (line.severity <= LOG_WARNING) found.push_back(line.describe());
    }
    return found;
  }
};

TEST_F(ConcurrentRuns, CountersAndActivityFileHoldEveryOneOfManyRuns) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips", "192.0.2.66\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_ips", "192.0.2.77\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/exempt_users", "postmaster@example.org\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/from_whitelist", "friend@example.net\n"));
  struct Kind {
    Session session;
    std::size_t counter;  // 0 ham, 1 spam, 2 exempt
    std::string verdict;
    std::string reply;
  };
  const std::vector<Kind> kinds = {
      {peer("192.0.2.9"), 0, "HAM", ""},
      {peer("192.0.2.66"), 1, "SPAM[ip_blacklist]", blocked_ip_reply("192.0.2.66")},
      {{"192.0.2.9", "", "alice@example.net", "bob@example.org"},
       1,
       "SPAM[require_helo]",
       kNoHeloReply},
      {peer("192.0.2.77"), 2, "IP_EXEMPT", ""},
      {{"192.0.2.9", "mail.example.net", "alice@example.net", "postmaster@example.org"},
       2,
       "RCPT_EXEMPT",
       ""},
      {{"192.0.2.9", "mail.example.net", "friend@example.net", "bob@example.org"},
       2,
       "FROM_WHITELIST",
       ""},
  };
  std::vector<ProgramJob> jobs;
  for (std::size_t index = 0; index < kManyRuns; ++index) {
    jobs.push_back(plesk_job(kinds[index % kinds.size()].session));
  }

  const std::tm day = local_now();
  const std::vector<RunResult> runs = run_programs(jobs, kParallel);
  const std::tm day_after = local_now();

  Findings run_findings;
  std::vector<unsigned> expected_counts(3, 0);
  std::multiset<std::string> expected_file;
  std::multiset<std::string> expected_syslog;
  for (std::size_t index = 0; index < runs.size(); ++index) {
    const Kind& kind = kinds[index % kinds.size()];
    const RunResult& run = runs[index];
    if (!run.exited_with(0) || run.out != kind.reply || !run.err.empty()) {
      run_findings.add("run " + std::to_string(index) + " (" + kind.verdict +
                       "): " + run.describe());
    }
    ++expected_counts[kind.counter];
    expected_file.insert(std::to_string(run.pid) + " " + activity(kind.verdict, kind.session));
    expected_syslog.insert(logged_activity(run, kind.verdict, kind.session));
  }
  EXPECT_EQ(run_findings.report(), "");

  const std::optional<std::string> kxlog = sandbox().read_file("/var/log/korvex/kxlog");
  ASSERT_TRUE(kxlog);
  Findings line_findings;
  const std::multiset<std::string> file_entries = activity_entries(*kxlog, &line_findings);
  EXPECT_EQ(line_findings.report(), "");
  EXPECT_EQ(file_entries.size(), kManyRuns);
  EXPECT_EQ(difference(expected_file, file_entries), "");
  const std::multiset<std::string> syslog_entries = plesk_syslog();
  EXPECT_EQ(difference(expected_syslog, syslog_entries), "");
  // A run across midnight counts in two slots; the day's exact counts are then unknown.
  if (day.tm_mday == day_after.tm_mday) {
    EXPECT_EQ(counts_of_day(day), expected_counts);
  }
  std::cout << "[ summary  ] " << runs.size() << " plugin runs, " << kParallel
            << " at a time: counted ham " << expected_counts[0] << ", spam " << expected_counts[1]
            << ", exempt " << expected_counts[2] << "; " << file_entries.size()
            << " activity lines and " << syslog_entries.size() << " syslog lines checked\n";
}

// One korvex-listmgr run on the blocked-IP list, and what it did.
struct ListEdit {
  bool add = true;
  RunResult run;

  bool done() const { return run.exited_with(0) && run.out.empty() && run.err.empty(); }
};

// The edits of one list entry: its add and, for some entries, its delete.
struct EntryHistory {
  std::string entry;
  ListEdit add;
  std::optional<ListEdit> del;

  // Whether the entry was on the list the whole time from started to ended.
  bool listed_throughout(const RunResult& reader) const {
    return add.done() && add.run.ended <= reader.started &&
           !(del && del->done() && del->run.started < reader.ended);
  }
  // Whether the entry was off the list the whole time from started to ended.
  bool unlisted_throughout(const RunResult& reader) const {
    return !add.done() || reader.ended <= add.run.started ||
           (del && del->done() && del->run.ended <= reader.started);
  }
  bool listed_at_end() const { return add.done() && !(del && del->done()); }
};

// An edit that did not happen is fine only for the reasons a busy list allows: the lock
// not obtained in time, or a delete of an entry whose add was refused for that.
bool acceptable_refusal(const ListEdit& edit, const EntryHistory& history) {
  if (!edit.run.exited_with(1) || !edit.run.err.empty()) return false;
  const std::string verb = edit.add ? "add_entry" : "del_entry";
  if (edit.run.out == verb + "() ERROR: Failed to update list: Could not acquire lock.\n") {
    return true;
  }
  return !edit.add && !history.add.done() &&
         edit.run.out == "del_entry() ERROR: Entry not found. (" + history.entry + ")\n";
}

TEST_F(ConcurrentRuns, ListEditsWhileRunsReadLoseNoEntryAndShowNoPartialList) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_LISTMGR, "korvex-listmgr"));
  const std::vector<std::string> kept = {"198.51.100.1", "198.51.100.2", "198.51.100.3"};
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/blocked_ips",
                                   "198.51.100.1\n198.51.100.2\n"
                                   "198.51.100.3\n"));
  const std::string never = "192.0.2.200";
  constexpr std::size_t kWriters = 3;
  constexpr std::size_t kEntriesPerWriter = 24 / kScale;
  // Writer w adds 10.0.w.j one after another and deletes every even-numbered entry again
  // once the next one is added.
  std::vector<std::vector<EntryHistory>> histories(kWriters);
  for (std::size_t writer = 0; writer < kWriters; ++writer) {
    for (std::size_t number = 0; number < kEntriesPerWriter; ++number) {
      histories[writer].push_back(
          {"10.0." + std::to_string(writer) + "." + std::to_string(number), {}, std::nullopt});
    }
  }
  const auto edit = [](bool add, const std::string& entry) {
    return ListEdit{add, run_program({kBin + "korvex-listmgr", "-b", add ? "-a" : "-d", entry})};
  };
  std::vector<std::thread> writers;
  for (std::size_t writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&histories, &edit, writer] {
      std::vector<EntryHistory>& mine = histories[writer];
      for (std::size_t number = 0; number < mine.size(); ++number) {
        mine[number].add = edit(true, mine[number].entry);
        if (number % 2 == 1) mine[number - 1].del = edit(false, mine[number - 1].entry);
      }
    });
  }
  std::vector<ProgramJob> jobs;
  for (std::size_t index = 0; index < kReaderRuns; ++index) {
    const std::size_t writer = index % kWriters;
    const std::size_t number = (index / kWriters) % kEntriesPerWriter;
    switch (index % 4) {
      case 0:
        jobs.push_back(plesk_job(peer(kept[index % kept.size()])));
        break;
      case 1:
        jobs.push_back(plesk_job(peer(never)));
        break;
      default:
        jobs.push_back(plesk_job(peer(histories[writer][number].entry)));
        break;
    }
  }
  const std::vector<RunResult> runs = run_programs(jobs, kParallel - kWriters);
  for (std::thread& writer : writers) writer.join();

  Findings edit_findings;
  std::size_t edits = 0;
  std::size_t lock_refusals = 0;
  std::multiset<std::string> expected_list(kept.begin(), kept.end());
  for (const std::vector<EntryHistory>& mine : histories) {
    for (const EntryHistory& history : mine) {
      for (const ListEdit* made : {&history.add, history.del ? &*history.del : nullptr}) {
        if (made == nullptr) continue;
        ++edits;
        if (made->done()) continue;
        if (!acceptable_refusal(*made, history)) {
          edit_findings.add(history.entry + ": " + made->run.describe());
        } else if (made->run.out.find("Could not acquire lock") != std::string::npos) {
          ++lock_refusals;
        }
      }
      if (history.listed_at_end()) expected_list.insert(history.entry);
    }
  }
  EXPECT_EQ(edit_findings.report(), "");

  Findings read_findings;
  std::size_t bound_reads = 0;
  std::multiset<std::string> expected_syslog;
  for (std::size_t index = 0; index < runs.size(); ++index) {
    const RunResult& run = runs[index];
    const std::string ip = jobs[index].options.env.front().substr(sizeof "TCPREMOTEIP=" - 1);
    const bool refused = run.out == blocked_ip_reply(ip);
    if (!run.exited_with(0) || !run.err.empty() || (!refused && !run.out.empty())) {
      read_findings.add(ip + ": " + run.describe());
      continue;
    }
    expected_syslog.insert(logged_activity(run, refused ? "SPAM[ip_blacklist]" : "HAM", peer(ip)));
    bool must_refuse = std::find(kept.begin(), kept.end(), ip) != kept.end();
    bool must_pass = ip == never;
    if (index % 4 >= 2) {
      const EntryHistory& history =
          histories[index % kWriters][(index / kWriters) % kEntriesPerWriter];
      must_refuse = history.listed_throughout(run);
      must_pass = history.unlisted_throughout(run);
    }
    if (must_refuse || must_pass) ++bound_reads;
    if ((must_refuse && !refused) || (must_pass && refused)) {
      read_findings.add(ip + (refused ? " refused while off the list" : " passed while listed"));
    }
  }
  EXPECT_EQ(read_findings.report(), "");
  EXPECT_EQ(difference(expected_syslog, plesk_syslog()), "");

  const std::optional<std::string> list = sandbox().read_file("/etc/korvex/blocked_ips");
  ASSERT_TRUE(list);
  std::multiset<std::string> final_list;
  Findings line_findings;
  std::size_t start = 0;
  while (start < list->size()) {
    const std::size_t end = list->find('\n', start);
    if (end == std::string::npos) {
      line_findings.add("unterminated last line: " + list->substr(start));
      break;
    }
    final_list.insert(list->substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(line_findings.report(), "");
  EXPECT_EQ(difference(expected_list, final_list), "");
  // No temporary file is left beside the list.
  EXPECT_EQ(sandbox().list_directory("/etc/korvex"),
            (std::vector<std::string>{"blocked_ips", "control"}));
  std::cout << "[ summary  ] " << edits << " list edits by " << kWriters << " writers ("
            << lock_refusals << " refused for the lock), " << runs.size()
            << " plugin runs reading, " << bound_reads
            << " of them with a verdict the list fixed; final list of " << final_list.size()
            << " entries as expected\n";
}

TEST_F(ConcurrentRuns, ReplacedRejectionMessageIsReadWholeOrNotAtAll) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_KORVEX_REJMSG, "korvex-rejmsg"));
  ASSERT_TRUE(sandbox().make_directory("/etc/korvex/rejections"));
  const std::string older = "Old policy: introduce yourself with HELO " + std::string(200, 'o');
  const std::string newer = "New policy: no HELO, no mail " + std::string(300, 'n');
  const auto set_message = [](const std::string& message) {
    return run_program({kBin + "korvex-rejmsg", "-n", "require_helo", "-a", "-m", message});
  };
  const RunResult first = set_message(older);
  ASSERT_TRUE(first.exited_with(0)) << first.describe();

  // The message is replaced, new and old in turn, for as long as the runs go on.
  std::atomic<bool> reading{true};
  std::vector<RunResult> replacements;
  std::thread writer([&] {
    while (reading)
      replacements.push_back(set_message(replacements.size() % 2 == 0 ? newer : older));
  });
  const Session no_helo = {"192.0.2.9", "", "alice@example.net", "bob@example.org"};
  const std::vector<RunResult> runs =
      run_programs(std::vector<ProgramJob>(kReaderRuns, plesk_job(no_helo)), kParallel - 1);
  reading = false;
  writer.join();

  Findings findings;
  for (const RunResult& replacement : replacements) {
    if (!replacement.exited_with(0) || !replacement.out.empty() || !replacement.err.empty()) {
      findings.add("korvex-rejmsg: " + replacement.describe());
    }
  }
  std::size_t saw_older = 0;
  std::size_t saw_newer = 0;
  std::size_t saw_builtin = 0;
  for (const RunResult& run : runs) {
    if (run.exited_with(0) && run.err.empty() && run.out == custom_reply(older)) {
      ++saw_older;
    } else if (run.exited_with(0) && run.err.empty() && run.out == custom_reply(newer)) {
      ++saw_newer;
    } else if (run.exited_with(0) && run.err.empty() && run.out == kNoHeloReply) {
      ++saw_builtin;
    } else {
      findings.add("korvex-plesk: " + run.describe());
    }
  }
  EXPECT_EQ(findings.report(), "");
  const std::string last = replacements.size() % 2 == 1 ? newer : older;
  EXPECT_EQ(sandbox().read_file("/etc/korvex/rejections/require_helo"), last);
  const RunResult after = run_program({kPlesk}, {.env = env_of(no_helo)});
  EXPECT_EQ(after.out, custom_reply(last)) << after.describe();
  std::cout << "[ summary  ] " << replacements.size() << " message replacements, " << runs.size()
            << " plugin runs: old text " << saw_older << ", new text " << saw_newer
            << ", built-in reply " << saw_builtin << "\n";
}

TEST_F(ConcurrentRuns, ReplacedTarnMapIsReadOldOrNewNeverHalfWritten) {
  if (!has_sandbox()) return;
  ASSERT_TRUE(sandbox().install_program(KORVEX_PROGRAM_TARN_UPDATE, "tarn_update"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/rules.disabled",
                                   "block_ip_in_addr\ncheck_ip_reverse_dns\n"
                                   "check_dynamic_reverse_dns\ncheck_reverse_dns_list\n"
                                   "valid_helo_domain\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/control/tarn.enabled", "spamhosts\n"));
  ASSERT_TRUE(sandbox().make_directory("/var/cache/tarn/incoming"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/tarn/lists_to_update", "spamhosts\n"));
  ASSERT_TRUE(sandbox().place_file("/etc/korvex/tarn/mirror_info", "http://127.0.0.1/tarn/\n"));
  // Forty /16 bitmaps make maps of a third of a megabyte, so a map written in place would
  // be caught part-way.
  std::vector<std::string> old_blocks = {"198.51.100.0/24", "203.0.113.0/24"};
  std::vector<std::string> new_blocks = {"198.51.100.0/24", "192.0.2.0/24"};
  for (int net = 0; net < 40; ++net) {
    old_blocks.push_back("10." + std::to_string(net) + ".1.0/24");
    new_blocks.push_back("10." + std::to_string(net) + ".2.0/24");
  }
  const std::string old_map = map_of(old_blocks);
  const std::string new_map = map_of(new_blocks);
  const std::string old_archive = bzip2_of(old_map);
  const std::string new_archive = bzip2_of(new_map);
  const std::vector<std::string> update_command = {kBin + "tarn_update",
                                                   "-f",
                                                   "/etc/korvex/tarn/lists_to_update",
                                                   "-m",
                                                   "/etc/korvex/tarn/mirror_info",
                                                   "-u",
                                                   "/var/cache/tarn/"};
  sandbox().http().serve_body("/tarn/spamhosts.bz2", old_archive);
  const RunResult first = run_program(update_command);
  ASSERT_TRUE(first.exited_with(0)) << first.describe();
  ASSERT_EQ(sandbox().read_file("/var/cache/tarn/spamhosts"), old_map);

  // For as long as the runs go on, update u installs the new map when u is even, the old
  // one when it is odd. The pause between updates lets runs fall wholly between two, where
  // the map in place is known.
  std::atomic<bool> reading{true};
  std::vector<RunResult> updates;
  std::thread updater([&] {
    while (reading) {
      const bool install_new = updates.size() % 2 == 0;
      sandbox().http().serve_body("/tarn/spamhosts.bz2", install_new ? new_archive : old_archive);
      updates.push_back(run_program(update_command));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  const std::string on_both = "198.51.100.5";
  const std::string on_neither = "100.64.0.5";
  const std::string on_old = "203.0.113.5";
  const std::string on_new = "192.0.2.5";
  const std::vector<std::string> addresses = {on_both, on_neither, on_old, on_new};
  std::vector<ProgramJob> jobs;
  for (std::size_t index = 0; index < kReaderRuns; ++index) {
    jobs.push_back(plesk_job(peer(addresses[index % addresses.size()])));
  }
  // An update runs a handful of programs one after another; fewer runs at once leave it
  // the time to replace the map many times while they go on.
  const std::vector<RunResult> runs = run_programs(jobs, kParallel / 4);
  reading = false;
  updater.join();

  Findings findings;
  for (const RunResult& update : updates) {
    if (!update.exited_with(0) || !update.out.empty() || !update.err.empty()) {
      findings.add("tarn_update: " + update.describe());
    }
  }
  std::size_t bound_reads = 0;
  std::multiset<std::string> expected_syslog;
  for (std::size_t index = 0; index < runs.size(); ++index) {
    const RunResult& run = runs[index];
    const std::string& ip = addresses[index % addresses.size()];
    const bool refused = run.out == tarn_reply(ip);
    if (!run.exited_with(0) || !run.err.empty() || (!refused && !run.out.empty())) {
      findings.add(ip + ": " + run.describe());
      continue;
    }
    expected_syslog.insert(
        logged_activity(run, refused ? "SPAM[block_lists:spamhosts]" : "HAM", peer(ip)));
    // The map in place the whole time the run took, when no update overlapped it: the
    // old one before the first update, then what the last finished update installed.
    std::optional<bool> new_in_place;
    std::size_t finished = 0;
    while (finished < updates.size() && updates[finished].ended <= run.started) ++finished;
    if (finished == updates.size() || run.ended <= updates[finished].started) {
      new_in_place = finished % 2 == 1;
    }
    bool must_refuse = ip == on_both;
    bool must_pass = ip == on_neither;
    if (new_in_place && (ip == on_old || ip == on_new)) {
      must_refuse = (ip == on_new) == *new_in_place;
      must_pass = !must_refuse;
    }
    if (must_refuse || must_pass) ++bound_reads;
    if ((must_refuse && !refused) || (must_pass && refused)) {
      findings.add(ip +
                   (refused ? " refused by a map not listing it" : " passed by a map listing it"));
    }
  }
  EXPECT_EQ(findings.report(), "");
  EXPECT_EQ(difference(expected_syslog, plesk_syslog()), "");
  EXPECT_EQ(troubles(), std::vector<std::string>{});
  EXPECT_EQ(sandbox().read_file("/var/cache/tarn/spamhosts"),
            updates.size() % 2 == 1 ? new_map : old_map);
  std::cout << "[ summary  ] " << updates.size() << " map replacements, " << runs.size()
            << " plugin runs looking up, " << bound_reads
            << " of them with a verdict the maps fixed\n";
}

}  // namespace
}  // namespace korvex::testing
