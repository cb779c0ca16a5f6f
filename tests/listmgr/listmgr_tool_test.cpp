#include "listmgr/listmgr_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lists/list_paths.h"
#include "tests/lists/list_test_dir.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::ListDir;
using testing::LoggedLine;
using testing::read_file;
using testing::write_file;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using Files = std::map<std::string, std::string>;
using Log = std::vector<LoggedLine>;

const std::string kUsage =
    "Usage: korvex-listmgr <list> <operation>\n"
    "\n"
    "Possible <list> values:\n"
    "   -f  *From* whitelist. (when sender address matches, no checking done)\n"
    "   -i  *IP* exemption list. (when sending server IP matches, no checking done)\n"
    "   -u  *User* exemption list. (when recipient matches, no checking done)\n"
    "   -b  *IP* blacklist. (when sender address matches, message is rejected)\n"
    "   -k  *From* blacklist. (when mail from email matches, message is rejected)\n"
    "\n"
    "Possible <operation> values:\n"
    "   -a <entry>  Add <entry> to <list>\n"
    "   -d <entry>  Delete <entry> from <list>\n"
    "   -l          List entries on <list>\n"
    "\n";
const std::string kOneOperation = "FATAL: You must specify one and only one operation.\n";
const std::string kOneList = "FATAL: You must specify one and only one list.\n";

struct Outcome {
  int status;
  std::string out;
  std::string err;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "{" << o.status << ", \"" << o.out << "\", \"" << o.err << "\"}";
}

class Listmgr : public ::testing::Test {
 protected:
  // Runs the tool over the temporary configuration directory.
  Outcome run(std::vector<std::string> args) const {
    args.insert(args.begin(), "korvex-listmgr");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    CaptureStdout();
    CaptureStderr();
    const int status =
        listmgr_run(static_cast<int>(args.size()), argv.data(), dir_.base(), testing::capture_sink);
    std::string out = GetCapturedStdout();
    return {status, out, GetCapturedStderr()};
  }

  // The list files of the configuration directory with their content.
  Files lists() const {
    Files files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.base())) {
      if (entry.is_directory()) continue;
      files[entry.path().filename()] = read_file(entry.path());
    }
    return files;
  }

  std::string list_path(const char* name) const { return dir_.path(name); }

  ListDir dir_;
  testing::LogCapture capture_;
};

TEST_F(Listmgr, CommandLineErrorsPrintTheUsageAndTouchNoFile) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{}, kOneOperation + kOneList},
      {{"-f"}, kOneOperation},
      {{"-l"}, kOneList},
      {{"-f", "-i", "-a", "x"}, kOneList},
      {{"-i", "-u", "-b", "-k", "-f", "-l"}, kOneList},
      {{"-f", "-a", "x", "-d", "y"}, kOneOperation},
      {{"-f", "-l", "-l"}, kOneOperation},
      {{"-f", "-d", "", "-l"}, kOneOperation},
      // A missing argument selects and counts nothing.
      {{"-f", "-a"}, kOneOperation},
      // getopt takes the word after -a as its argument, even one that looks like an option.
      {{"-a", "-f"}, kOneList},
      {{"-z", "-f", "-l"}, "Unrecognized option: -z\n"},
      {{"-fl", "-?", "-x"}, "Unrecognized option: -?\nUnrecognized option: -x\n"},
      {{"-z", "-a"}, "Unrecognized option: -z\n" + kOneOperation + kOneList},
      // An empty entry counts as the one operation but chooses none.
      {{"-f", "-a", ""}, "FATAL: Don't know what to do with operation 0.\n"},
      {{"-d", "", "-b"}, "FATAL: Don't know what to do with operation 0.\n"},
  };
  for (const auto& [args, message] : cases) {
    EXPECT_EQ(run(args), (Outcome{1, "", message + kUsage})) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(lists(), Files{});
  EXPECT_EQ(capture_.lines(), Log{});
}

TEST_F(Listmgr, EachListOptionEditsItsOwnFileWhateverTheOrder) {
  const std::vector<std::vector<std::string>> command_lines{
      {"-f", "-a", "from@x.example"}, {"-a", "192.0.2.1", "-i"},
      {"-uaone@x.example"},           {"stray", "-b", "words", "-a", "192.0.2.2", "are ignored"},
      {"-k", "-a", "*@spam.example"},
  };
  for (const auto& args : command_lines) {
    EXPECT_EQ(run(args), (Outcome{0, "", ""})) << ::testing::PrintToString(args);
  }
  EXPECT_EQ(lists(), (Files{{"from_whitelist", "from@x.example\n"},
                            {"exempt_ips", "192.0.2.1\n"},
                            {"exempt_users", "one@x.example\n"},
                            {"blocked_ips", "192.0.2.2\n"},
                            {"blocked_from", "*@spam.example\n"}}));
  EXPECT_EQ(capture_.lines(), Log{});
}

TEST_F(Listmgr, AcceptedCommandLinesSetTheMaskAndBuildTheEngineContext) {
  write_file(list_path("control/rules.enabled"), "known_sender_forgery\n");
  const Log enabling{{7, "ENABLING [known_sender_forgery]"}};
  const mode_t previous = umask(077);
  EXPECT_EQ(run({"-i", "-a", "192.0.2.1"}), (Outcome{0, "", ""}));
  umask(previous);
  struct stat status {};
  ASSERT_EQ(stat(list_path("exempt_ips").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_EQ(capture_.lines(), enabling);

  // A rejected command line stops before the log and the context are set up.
  capture_.clear();
  EXPECT_EQ(run({"-z", "-i", "-l"}), (Outcome{1, "", "Unrecognized option: -z\n" + kUsage}));
  EXPECT_EQ(capture_.lines(), Log{});
  // An operation that selects nothing is only found out once the context exists.
  EXPECT_EQ(run({"-i", "-d", ""}),
            (Outcome{1, "", "FATAL: Don't know what to do with operation 0.\n" + kUsage}));
  EXPECT_EQ(capture_.lines(), enabling);
  EXPECT_EQ(lists(), (Files{{"exempt_ips", "192.0.2.1\n"}}));
}

TEST_F(Listmgr, AddListAndDeleteRoundTrip) {
  EXPECT_EQ(run({"-k", "-l"}), (Outcome{0, "", ""}));  // never written: empty
  for (const char* entry : {"b@x.example", "sp aced", "A@X.example"}) {
    EXPECT_EQ(run({"-k", "-a", entry}), (Outcome{0, "", ""})) << entry;
  }
  EXPECT_EQ(run({"-l", "-k"}), (Outcome{0, "b@x.example\nsp aced\nA@X.example\n", ""}));

  EXPECT_EQ(run({"-k", "-a", "B@x.EXAMPLE"}),
            (Outcome{1, "add_entry() ERROR: Entry already exists.\n", ""}));
  EXPECT_EQ(run({"-k", "-d", "a@x.example"}), (Outcome{0, "", ""}));
  EXPECT_EQ(run({"-k", "-d", "a@x.example"}),
            (Outcome{1, "del_entry() ERROR: Entry not found. (a@x.example)\n", ""}));
  // The -d without its argument selects and counts nothing.
  EXPECT_EQ(run({"-k", "-l", "-d"}), (Outcome{0, "b@x.example\nsp aced\n", ""}));
  EXPECT_EQ(lists(), (Files{{"blocked_from", "b@x.example\nsp aced\n"}}));
  EXPECT_EQ(capture_.lines(), (Log{{3, "add_entry() ERROR: Entry already exists.\n"},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, "del_entry() ERROR: Entry not found. (a@x.example)\n"},
                                   {3, "Error: operation 3 returned 1"}}));
}

TEST_F(Listmgr, ListingShowsTheFirstFiveHundredLinesAsTheFilterReadsThem) {
  // Blank lines are listed, a line feed's carriage return is dropped, an over-long line
  // is skipped, and nothing past the 500th line shows.
  std::string file = "a\r\n\n" + std::string(1100, 'x') + "\nb\n";
  file += testing::numbered_lines("n", 496) + "beyond\n";
  write_file(list_path("exempt_users"), file);
  const std::string listed = "a\n\nb\n" + testing::numbered_lines("n", 496);
  EXPECT_EQ(run({"-u", "-l"}), (Outcome{0, listed, ""}));

  write_file(list_path("exempt_ips"), "192.0.2.1\n192.0.2.2\r");
  EXPECT_EQ(run({"-i", "-l"}), (Outcome{0, "192.0.2.1\n192.0.2.2\r\n", ""}));
  EXPECT_EQ(capture_.lines(), Log{});
}

TEST_F(Listmgr, IpListsTakeAddressesAndRangesOfBothFamiliesOnly) {
  for (const char* entry : {"192.0.2.1", "2001:DB8:0::25", "198.51.100.0/24", "2001:db8::/32"}) {
    EXPECT_EQ(run({"-b", "-a", entry}), (Outcome{0, "", ""})) << entry;
  }
  const std::string examples = " (such as 192.0.2.0/24 or 2001:db8::/32).";
  const std::string wildcard =
      "Refused: wildcard entry [10.0.0.*] never matches on an IP list; "
      "write a CIDR range instead" +
      examples;
  const std::string garbage =
      "Refused: [mail.example.net] is neither an IP address nor a CIDR range" + examples;
  const std::string host_bits =
      "Refused: [192.0.2.1/24] is neither an IP address nor a CIDR range" + examples;
  EXPECT_EQ(run({"-i", "-a", "10.0.0.*"}), (Outcome{1, "", wildcard + "\n"}));
  EXPECT_EQ(run({"-b", "-a", "mail.example.net"}), (Outcome{1, "", garbage + "\n"}));
  EXPECT_EQ(run({"-b", "-a", "192.0.2.1/24"}), (Outcome{1, "", host_bits + "\n"}));
  // The same spelling of an address already listed is a duplicate as before.
  EXPECT_EQ(run({"-b", "-a", "2001:db8:0::25"}),
            (Outcome{1, "add_entry() ERROR: Entry already exists.\n", ""}));
  // Sender lists keep their wildcards, and old junk can still be deleted from an IP list.
  EXPECT_EQ(run({"-k", "-a", "*@spam.example"}), (Outcome{0, "", ""}));
  write_file(list_path("exempt_ips"), "10.0.0.*\n");
  EXPECT_EQ(run({"-i", "-d", "10.0.0.*"}), (Outcome{0, "", ""}));
  EXPECT_EQ(lists(), (Files{{"blocked_ips",
                             "192.0.2.1\n2001:DB8:0::25\n198.51.100.0/24\n"
                             "2001:db8::/32\n"},
                            {"blocked_from", "*@spam.example\n"},
                            {"exempt_ips", ""}}));
  EXPECT_EQ(capture_.lines(), (Log{{3, wildcard},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, garbage},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, host_bits},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, "add_entry() ERROR: Entry already exists.\n"},
                                   {3, "Error: operation 2 returned 1"}}));
}

TEST_F(Listmgr, EntriesTheListWouldNotKeepAsGivenAreRefused) {
  write_file(list_path("blocked_from"), "a@x.example\n");
  const std::string too_long =
      "Refused: the entry is 1023 bytes long; a list keeps entries of at most 1022 bytes.";
  const std::string blank =
      "Refused: the entry begins or ends with white space, which would be compared as part of "
      "it.";
  // The longest entry the reader keeps goes in; one byte more would vanish at the next add.
  const std::string longest = std::string(1010, 'l') + "@x.example.n";
  ASSERT_EQ(longest.size(), 1022U);
  EXPECT_EQ(run({"-k", "-a", longest}), (Outcome{0, "", ""}));
  EXPECT_EQ(run({"-k", "-a", longest + "e"}), (Outcome{1, "", too_long + "\n"}));
  EXPECT_EQ(run({"-k", "-a", " b@x.example"}), (Outcome{1, "", blank + "\n"}));
  EXPECT_EQ(run({"-i", "-a", "192.0.2.1\t"}), (Outcome{1, "", blank + "\n"}));
  EXPECT_EQ(lists(), (Files{{"blocked_from", "a@x.example\n" + longest + "\n"}}));
  EXPECT_EQ(capture_.lines(), (Log{{3, too_long},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, blank},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, blank},
                                   {3, "Error: operation 2 returned 1"}}));
}

TEST_F(Listmgr, EntriesSpanningLinesAreRefusedAndTheListIsUnchanged) {
  write_file(list_path("from_whitelist"), "a@x.example\n");
  const std::string refused_add = "add_entry() ERROR: Entry must be a single line.\n";
  const std::string refused_del = "del_entry() ERROR: Entry must be a single line.\n";
  // A second line "*" would whitelist every sender; a trailing carriage return would be
  // read back as a duplicate of the existing entry.
  EXPECT_EQ(run({"-f", "-a", "b@x.example\n*"}), (Outcome{1, refused_add, ""}));
  EXPECT_EQ(run({"-f", "-a", "a@x.example\r"}), (Outcome{1, refused_add, ""}));
  EXPECT_EQ(run({"-f", "-a", "b@x.example\r*"}), (Outcome{1, refused_add, ""}));
  EXPECT_EQ(run({"-f", "-d", "a@x.example\r\n"}), (Outcome{1, refused_del, ""}));
  // A list that did not exist is not created by a refused add.
  EXPECT_EQ(run({"-i", "-a", "192.0.2.1\n192.0.2.2"}), (Outcome{1, refused_add, ""}));
  EXPECT_EQ(lists(), (Files{{"from_whitelist", "a@x.example\n"}}));
  EXPECT_EQ(capture_.lines(), (Log{{3, refused_add},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, refused_add},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, refused_add},
                                   {3, "Error: operation 2 returned 1"},
                                   {3, refused_del},
                                   {3, "Error: operation 3 returned 1"},
                                   {3, refused_add},
                                   {3, "Error: operation 2 returned 1"}}));
}

TEST_F(Listmgr, AListThatCannotBeReadFailsTheListing) {
  std::filesystem::create_directory(list_path("blocked_ips"));
  const std::string message = "List file " + list_path("blocked_ips") + " is not a regular file";
  EXPECT_EQ(run({"-b", "-l"}), (Outcome{1, "", "FATAL: " + message + "\n"}));

  write_file(list_path("control/x"), "");
  const ListDir other;
  std::filesystem::remove_all(other.base());
  std::filesystem::create_symlink(list_path("control/x"), other.base());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(listmgr_list_entries(testing::capture_sink, kExemptIpsList, other.base()), 1);
  const std::string open_failure =
      "Unable to open list file " + other.base() + "/exempt_ips: Not a directory";
  EXPECT_EQ(GetCapturedStderr(), "FATAL: " + open_failure + "\n");
  EXPECT_EQ(capture_.lines(), (Log{{3, "FATAL: " + message},
                                   {3, "Error: operation 1 returned 1"},
                                   {3, "FATAL: " + open_failure}}));
}

TEST_F(Listmgr, AListingThatCannotBeWrittenFails) {
  write_file(list_path("exempt_users"), "u@x.example\n");
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const int full = open("/dev/full", O_WRONLY);
    if (full < 0 || dup2(full, STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0) _exit(99);
    _exit(listmgr_list_entries(nullptr, kExemptUsersList, dir_.base()));
  }
  close(err[1]);
  std::string printed;
  char buffer[512];
  ssize_t got;
  while ((got = read(err[0], buffer, sizeof buffer)) > 0) printed.append(buffer, got);
  close(err[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(printed, "FATAL: Unable to write the entries of " + list_path("exempt_users") +
                         ": No space left on device\n");
}

}  // namespace
}  // namespace korvex
