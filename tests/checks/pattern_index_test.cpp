// The pattern-list index: the literals derived for the prefilter, and checkRegexList with an
// index judged against the plain walk of the list on thousands of subjects - the published
// dynamic-host list and a list exercising the expression syntax and the reading rules - with
// identical results and identical log lines. Stale, damaged and doctored indexes show which
// path was taken.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "patterns/pattern_index.h"
#include "patterns/pattern_list_match.h"
#include "patterns/pattern_prefilter.h"
#include "plugin/checks/checks_internal.h"
#include "plugin/checks/reverse_dns.h"
#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using checks_test::ScriptedChecks;
using checks_test::TempDir;
using ::korvex::testing::LoggedLine;
using Literals = std::optional<std::vector<std::string>>;

const char kPublishedList[] = KORVEX_SOURCE_DIR "/../shared/data/fqrdns.pcre";

// What one walk of a list said: its result and every line it logged.
struct walk_output {
  int result = 0;
  std::vector<LoggedLine> lines;
  bool operator==(const walk_output&) const = default;
};

std::ostream& operator<<(std::ostream& out, const walk_output& output) {
  out << "result " << output.result;
  for (const LoggedLine& line : output.lines) out << "\n  {" << line.priority << ", " << line.text << "}";
  return out;
}

// checkRegexList on the list, rebuilding a stale index in cache_dir when one is named.
walk_output checked(const std::string& path, const std::string& subject,
                    const std::string& cache_dir = "") {
  ::korvex::testing::captured_lines().clear();
  CheckContext context;
  context.pattern_index_cache_dir = cache_dir;
  walk_output output;
  output.result = checkRegexList(context, path, subject, ::korvex::testing::capture_sink);
  output.lines = ::korvex::testing::captured_lines();
  return output;
}

walk_output walked(const std::string& path, const std::string& subject) {
  ::korvex::testing::captured_lines().clear();
  walk_output output;
  std::FILE* list = std::fopen(path.c_str(), "r");
  EXPECT_NE(list, nullptr) << path;
  if (list == nullptr) return output;
  output.result = __walk_regex_list(list, path, subject, ::korvex::testing::capture_sink);
  (void)std::fclose(list);
  output.lines = ::korvex::testing::captured_lines();
  return output;
}

// Every line of a list compiled once, replaying the plain walk without compiling the list
// again for each subject (the published list takes milliseconds per plain walk). It is
// itself checked against the plain walk on a sample of the subjects.
class compiled_list {
 public:
  explicit compiled_list(const std::string& path) : path_(path) {
    std::FILE* list = std::fopen(path.c_str(), "r");
    EXPECT_NE(list, nullptr);
    if (list == nullptr) return;
    pattern_line_reader reader(list);
    int number = 0;
    const char* text = nullptr;
    while (reader.next(&number, &text)) {
      lines_.push_back({number, text, std::make_unique<regex_holder>(), {}});
      line& added = lines_.back();
      const int code = added.compiled->compile(text, kPatternFlags);
      if (code != 0) added.error = added.compiled->error(code, kPatternErrorSize);
    }
    (void)std::fclose(list);
  }

  walk_output judge(const std::string& subject) const {
    walk_output output;
    for (const line& each : lines_) {
      if (!each.error.empty()) {
        output.lines.push_back({LOG_INFO, "Warning: checkRegexList(" + path_ + "): regcomp(line " +
                                              std::to_string(each.number) + "): " + each.error});
        output.result = -1;
      } else if (each.compiled->matches(subject.c_str())) {
        output.lines.push_back({LOG_DEBUG, "checkRegexList(" + path_ + ", line " +
                                               std::to_string(each.number) + "): hit [" +
                                               subject.c_str() + "][" + each.text + "]"});
        output.result = 1;
        return output;
      }
    }
    return output;
  }

  std::size_t size() const { return lines_.size(); }

 private:
  struct line {
    int number;
    std::string text;
    std::unique_ptr<regex_holder> compiled;
    std::string error;
  };
  std::string path_;
  std::vector<line> lines_;
};

std::vector<std::string> published_expressions() {
  std::ifstream in(kPublishedList);
  std::vector<std::string> expressions;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() != '/') continue;
    const std::size_t end = line.find_first_of(" \t");
    if (end != std::string::npos && end >= 2 && line[end - 1] == '/') {
      expressions.push_back(line.substr(1, end - 2));
    }
  }
  return expressions;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Host names, HELO texts and addresses: keywords and octets in the shapes dynamic lines use,
// capitals, high bytes, empty, very long and NUL-carrying subjects, and one name built
// around each literal the index holds so that the lines behind the filter are reached.
std::vector<std::string> subject_corpus(const std::vector<std::string>& literals) {
  std::vector<std::string> subjects = {
      "", "mail.example.com", "smtp-out.relay.example.org", "out-ab-12.wireless.telus.com",
      "ADSL.viettel.vn", "1-2-3-4.pool.nctc.com", "host-10-20.cable.dynamic.kbtelecom.net",
      "DSL-203-0-113-5.EXAMPLE.NET", "caf\xe9-dsl.example", "\xff\xfe.dyn.example",
      "[192.0.2.1]", "postmaster@dsl-1-2-3-4.example.net", "localhost", "a", " ", "\r",
      std::string(5000, 'a') + ".dsl.example", std::string(2000, '9') + "-pool",
      std::string("dsl\0-1-2-3-4.pool.nctc.com", 26), std::string("mail.example\0dynamic", 20),
      std::string("\0dsl", 4)};
  const char* keywords[] = {"dsl",  "dyn",  "dynamic", "pool", "cable", "ppp", "pppoe",
                            "dhcp", "dial", "adsl",    "static", "mail", "mx"};
  const char* octets[] = {"203-0-113-5", "203.0.113.5", "5-113-0-203", "203x0x113x5",
                          "2030113005"};
  const char* domains[] = {"example.net", "telecom.example.de", "ISP.EXAMPLE.COM"};
  for (const char* keyword : keywords) {
    for (const char* octet : octets) {
      for (const char* domain : domains) {
        subjects.push_back(std::string(keyword) + "-" + octet + "." + domain);
        subjects.push_back(std::string(octet) + "." + keyword + "." + domain);
        subjects.push_back(upper(std::string(keyword) + "." + octet + "." + domain));
      }
    }
  }
  for (std::size_t i = 0; i < literals.size(); ++i) {
    const std::string stem = i % 3 == 0 ? "12-34-56-78" : i % 3 == 1 ? "host" : "a1b2c3";
    subjects.push_back(i % 2 == 0 ? stem + literals[i] : upper(stem + literals[i]));
  }
  return subjects;
}

// The list exercising the syntax and the reading rules, then generated expressions.
std::string syntax_list() {
  std::string text =
      "# header\n"
      "\n"
      "   # indented comment\n"
      "dsl-pool|cable-modem\n"
      "^(ppp|pppoe)[0-9]+\\.\n"
      "[0-9]+-[0-9]+\\.dyn\\.\n"
      "\\.static\\.|\\(lit\\)\n"
      "a\\+b|x\\|y\\{2\\}\n"
      "^mail\\.|\\.mx$\n"
      "ab{0}cd-zero\n"
      "xy{0,1}z-opt\n"
      "(ab)?cd-grp\n"
      "[[:digit:]]{3}dhcp\n"
      "\\bdial\n"
      "(dyn)\\1\n"
      "[\n"
      "a{\n"
      "*lead\n"
      "   \n"
      "carriage\r\n"
      "\r\n"
      "caf\xe9s\n"
      "never|\n"
      "[]x]-bracket\n"
      "[^.]+-neg\\.\n"
      "\\-\\_\\/\\,under\n"
      "ppp+oe-rep\n"
      "k{2,}-twice\n"
      "DSL-UPPER\n"
      "unmatched)\n"
      "\\.x\\.\n" +
      std::string(1023, 'q') + "-tail-piece\n";
  const char* fragments[] = {"dsl",   "dyn",    "pool",  "-",    "\\.",  "[0-9]+", "[a-z]{2,3}",
                             "(cable|ppp)", "?",  "*",     "+",    "{0,2}", "{1}",   "|",
                             "^",     "$",      ".",     "x",    "\\-",  "[.-]",   "(",
                             ")",     "[^0-9]", "ip",    "{2}",  "\\\\", "a|",     "net"};
  std::mt19937 generator(20240611);
  for (int pattern = 0; pattern < 200; ++pattern) {
    const int pieces = 1 + static_cast<int>(generator() % 6);
    std::string line;
    for (int piece = 0; piece < pieces; ++piece) {
      line += fragments[generator() % (sizeof fragments / sizeof fragments[0])];
    }
    text += line + (pattern % 7 == 0 ? "\r\n" : "\n");
  }
  return text + "no-newline-at-end";
}

std::vector<std::string> index_literals(const pattern_index& index) {
  return std::vector<std::string>(index.literals.begin(), index.literals.end());
}

class PatternIndexTest : public ::testing::Test {
 protected:
  std::string list(const std::string& name, const std::string& text) {
    const std::string path = dir_.path() + "/" + name;
    checks_test::write_file(path, text);
    return path;
  }
  // Index the list and make sure checkRegexList will take the index.
  void index(const std::string& path, std::string* bytes, pattern_index* loaded) {
    std::string problem;
    ASSERT_TRUE(write_pattern_index(path, pattern_index_path(path), &problem)) << problem;
    ASSERT_TRUE(load_pattern_index(pattern_index_path(path), bytes, loaded));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    ASSERT_TRUE(same_file(loaded->identity, status));
  }

  ScriptedChecks script_;
  TempDir dir_;
};

TEST(PatternLiterals, MandatoryRunsPerAlternativeOrNoFilter) {
  const std::vector<std::pair<std::string, Literals>> cases = {
      {"dsl", Literals{{"dsl"}}},
      {"^dyn-[0-9]+\\.", Literals{{"dyn-"}}},
      {"\\.Dynamic\\.ISP\\.example\\.rs$", Literals{{".dynamic.isp.example.rs"}}},
      {"dsl|cable|dsl", Literals{{"dsl", "cable"}}},
      {"(ppp|dsl)-pool", Literals{{"-pool"}}},
      {"abc*de", Literals{{"ab"}}},
      {"xab+cd", Literals{{"xab"}}},
      {"ab{0}cdef", Literals{{"cdef"}}},
      {"ab{,2}c", Literals{{"a"}}},
      {"ab{2,}cd", Literals{{"ab"}}},
      {"a+?bc", Literals{{"bc"}}},
      {"[]x]dsl[^]y]+abcd", Literals{{"abcd"}}},
      {"a\\|b\\(c\\)", Literals{{"a|b(c)"}}},
      {"k\xe9y", Literals{{"k"}}},
      {"carriage\r", Literals{{"carriage"}}},
      {"^(\\d{1,3}-){3}\\d{1,3}\\.Dynamic\\.chello\\.fr$", Literals{{".dynamic.chello.fr"}}},
      {"\\.dyn\\.\\telesat\\.co", Literals{{"elesat.co"}}},
      {"x\\d+abc|\\e?xy", Literals{{"abc", "xy"}}},
      {"dsl|", std::nullopt},
      {"|dsl", std::nullopt},
      {"^.*$", std::nullopt},
      {"[[:digit:]]dsl", std::nullopt},
      {"[[.a.]]dsl", std::nullopt},
      {"\\bdsl", std::nullopt},
      {"\\<dsl", std::nullopt},
      {"(a)\\1", std::nullopt},
      {"\\w+dsl", std::nullopt},
      {"dsl)", std::nullopt},
      {"(dsl", std::nullopt},
      {"*dsl", std::nullopt},
      {"^*dsl", std::nullopt},
      {"dsl{x}", std::nullopt},
      {"dsl\\", std::nullopt},
  };
  for (const auto& [pattern, expected] : cases) {
    EXPECT_EQ(pattern_literals(pattern), expected) << pattern;
  }
  EXPECT_EQ(ascii_lowered("MiXeD-\xC9\xe9.NET"), "mixed-\xC9\xe9.net");
}

// The soundness the index rests on: whenever an expression matches a subject, one of its
// literals occurs in that subject.
TEST(PatternLiterals, EveryMatchContainsOneOfTheLiterals) {
  std::vector<std::string> patterns = published_expressions();
  if (patterns.empty()) GTEST_SKIP() << "no published list at " << kPublishedList;
  std::istringstream generated(syntax_list());
  for (std::string line; std::getline(generated, line);) patterns.push_back(line);
  std::vector<std::string> seeds;
  for (const std::string& pattern : patterns) {
    const Literals literals = pattern_literals(pattern);
    if (literals) seeds.push_back(literals->front());
  }
  const std::vector<std::string> subjects = subject_corpus(seeds);
  std::size_t filtered = 0;
  std::size_t matches = 0;
  for (const std::string& pattern : patterns) {
    const Literals literals = pattern_literals(pattern);
    regex_holder compiled;
    if (!literals || compiled.compile(pattern.c_str(), kPatternFlags) != 0) continue;
    ++filtered;
    for (const std::string& subject : subjects) {
      if (!compiled.matches(subject.c_str())) continue;
      ++matches;
      const std::string lowered = ascii_lowered(subject.c_str());
      EXPECT_TRUE(std::any_of(literals->begin(), literals->end(),
                              [&](const std::string& literal) {
                                return lowered.find(literal) != std::string::npos;
                              }))
          << "pattern [" << pattern << "] matches [" << subject << "]";
    }
  }
  std::cout << "[ literals ] " << filtered << " of " << patterns.size()
            << " expressions have a filter; " << matches << " matches among "
            << subjects.size() << " subjects checked\n";
  EXPECT_GT(filtered, patterns.size() * 8 / 10);
  EXPECT_GT(matches, 1000u);
}

TEST_F(PatternIndexTest, PublishedListGivesThePlainWalksResultsAndLines) {
  const std::vector<std::string> expressions = published_expressions();
  if (expressions.empty()) GTEST_SKIP() << "no published list at " << kPublishedList;
  ASSERT_EQ(expressions.size(), 1528u);
  std::string text = "# Dynamic Style Regular Expression Listing\n";
  for (const std::string& expression : expressions) text += expression + "\n";
  const std::string path = list("dyna.regexes", text);
  const compiled_list reference(path);
  std::string bytes;
  pattern_index loaded;
  index(path, &bytes, &loaded);
  ASSERT_EQ(loaded.records.size(), 1528u);
  const std::vector<std::string> subjects = subject_corpus(index_literals(loaded));

  std::size_t hits = 0;
  std::size_t sampled = 0;
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    const walk_output expected = reference.judge(subjects[i]);
    ASSERT_EQ(checked(path, subjects[i]), expected) << "subject [" << subjects[i] << "]";
    if (i % 100 == 0) {
      ASSERT_EQ(walked(path, subjects[i]), expected) << "subject [" << subjects[i] << "]";
      ++sampled;
    }
    if (expected.result == 1) ++hits;
  }
  std::cout << "[ published ] " << subjects.size() << " subjects against " << reference.size()
            << " expressions: " << hits << " hits; " << sampled
            << " also through the plain walk\n";
  EXPECT_GT(hits, 100u);
  EXPECT_LT(hits, subjects.size());
}

TEST_F(PatternIndexTest, SyntaxListGivesThePlainWalksResultsAndLines) {
  const std::string text = syntax_list();
  const std::string path = list("syntax.regexes", text);
  std::string bytes;
  pattern_index loaded;
  index(path, &bytes, &loaded);
  std::size_t failing = 0;
  for (const pattern_record& record : loaded.records) {
    if (record.kind == pattern_kind::fails) ++failing;
  }
  EXPECT_GT(failing, 5u);
  // Each line also alone in a list of its own, so that lines behind an early match are
  // reached too.
  std::vector<std::string> paths = {path};
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    paths.push_back(list("single" + std::to_string(++number), line + "\n"));
    std::string single_bytes;
    pattern_index single;
    index(paths.back(), &single_bytes, &single);
  }
  const std::vector<std::string> subjects = subject_corpus(index_literals(loaded));
  std::size_t comparisons = 0;
  std::size_t hits = 0;
  for (const std::string& list_path : paths) {
    // The whole list sees every subject, each one-line list a fifth of them.
    const std::size_t step = list_path == path ? 1 : 5;
    for (std::size_t i = 0; i < subjects.size(); i += step) {
      const std::string& subject = subjects[i];
      const walk_output expected = walked(list_path, subject);
      ASSERT_EQ(checked(list_path, subject), expected)
          << "list " << list_path << " subject [" << subject << "]";
      ++comparisons;
      if (expected.result == 1) ++hits;
    }
  }
  std::cout << "[ syntax ] " << subjects.size() << " subjects against " << loaded.records.size()
            << " lines (" << failing << " not compiling) and " << paths.size() - 1
            << " one-line lists: " << comparisons << " comparisons, " << hits << " hits\n";
  EXPECT_GT(hits, comparisons / 20);
}

TEST_F(PatternIndexTest, IndexFitsWhileTheContentIsUnchangedWhateverFileHoldsIt) {
  const std::string text = "# header\nok\n";
  const std::string path = list("list", text);
  // A doctored index shows that it was used: its record says the line does not compile.
  const auto doctor = [&](const std::string& index_path, const std::string& content) {
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    pattern_entry entry;
    entry.line_number = 2;
    entry.text = "ok";
    entry.kind = pattern_kind::fails;
    entry.error = "doctored";
    checks_test::write_file(index_path, encode_pattern_index(identity_of(status, content), {entry}));
  };
  const walk_output doctored{-1, {{LOG_INFO, "Warning: checkRegexList(" + path +
                                                 "): regcomp(line 2): doctored"}}};
  const walk_output plain{1, {{LOG_DEBUG, "checkRegexList(" + path + ", line 2): hit [ok][ok]"}}};
  doctor(pattern_index_path(path), text);
  EXPECT_EQ(checked(path, "ok"), doctored);

  // Touched, chmod-ed, or replaced by a copy: another inode and other times, same bytes.
  const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  const std::string copy = list("list.new", text);
  ASSERT_EQ(::rename(copy.c_str(), path.c_str()), 0);
  EXPECT_EQ(checked(path, "ok"), doctored);

  // Any edit, even one that keeps the size, sends the matcher to the list.
  checks_test::write_file(path, "# header\nOK\n");
  EXPECT_EQ(checked(path, "ok"),
            (walk_output{1, {{LOG_DEBUG, "checkRegexList(" + path + ", line 2): hit [ok][OK]"}}}));

  // A missing list is still the walk's "unable to open file", whatever index is left.
  doctor(pattern_index_path(path), "# header\nOK\n");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_EQ(checked(path, "ok"),
            (walk_output{-1, {{LOG_INFO, "Warning: checkRegexList(): unable to open file '" +
                                             path + "'"}}}));
}

TEST_F(PatternIndexTest, ListWithoutAFittingIndexIsIndexedOnceIntoTheCacheDirectory) {
  const std::string path = list("dyna.regexes", "# header\n[\nex(am)ple\n");
  const TempDir cache;
  const std::string cached = cache.path() + "/dyna.regexes.index";
  const walk_output walk = walked(path, "example.net");
  ASSERT_EQ(walk.result, 1);
  const auto with_first = [&walk](const std::string& warning) {
    walk_output output = walk;
    output.lines.insert(output.lines.begin(), LoggedLine{LOG_WARNING, warning});
    return output;
  };
  // No cache directory: the walk alone, as ever.
  EXPECT_EQ(checked(path, "example.net"), walk);

  EXPECT_EQ(checked(path, "example.net", cache.path() + "/missing"),
            with_first("Warning: checkRegexList(" + path +
                       "): no index fits the list and none can be kept: cannot open " +
                       cache.path() + "/missing: No such file or directory"));

  EXPECT_EQ(checked(path, "example.net", cache.path()),
            with_first("Warning: checkRegexList(" + path + "): no index fits the list, rebuilt " +
                       cached));
  std::string bytes;
  pattern_index rebuilt;
  ASSERT_TRUE(load_pattern_index(cached, &bytes, &rebuilt));
  EXPECT_EQ(rebuilt.records.size(), 2U);
  // The runs after it take the cached index without a word, until the list changes again.
  EXPECT_EQ(checked(path, "example.net", cache.path()), walk);
  EXPECT_EQ(checked(path, "example.net", cache.path()), walk);
  // A copy of an indexed list keeps the index beside it, restamped into the cache for the
  // runs after it: they need neither the index beside the list nor a rebuild.
  checks_test::write_file(path, "# header\nexample\n");
  std::string problem;
  ASSERT_TRUE(write_pattern_index(path, pattern_index_path(path), &problem)) << problem;
  const std::string copy = list("copy", "# header\nexample\n");
  ASSERT_EQ(::rename(copy.c_str(), path.c_str()), 0);
  const walk_output hit{1, {{LOG_DEBUG, "checkRegexList(" + path +
                                            ", line 2): hit [example.net][example]"}}};
  EXPECT_EQ(checked(path, "example.net", cache.path()), hit);
  ASSERT_EQ(::unlink(pattern_index_path(path).c_str()), 0);
  EXPECT_EQ(checked(path, "example.net", cache.path()), hit);

  checks_test::write_file(path, "# header\nexample\n# edited\n");
  EXPECT_EQ(checked(path, "example.net", cache.path()).lines.front(),
            (LoggedLine{LOG_WARNING, "Warning: checkRegexList(" + path +
                                         "): no index fits the list, rebuilt " + cached}));
  // Nothing but the index is left there: no temporary file, no lock file.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(cache.path())) {
    names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"dyna.regexes.index"}));
}

TEST_F(PatternIndexTest, DamagedIndexSendsTheMatcherToTheList) {
  const std::string path = list("list", "# header\n[\nex(am)ple\n");
  std::string bytes;
  pattern_index loaded;
  index(path, &bytes, &loaded);
  const walk_output plain = walked(path, "EXAMPLE");
  ASSERT_EQ(plain, (walk_output{1, {{LOG_INFO, "Warning: checkRegexList(" + path +
                                                   "): regcomp(line 2): Invalid regular expression"},
                                    {LOG_DEBUG, "checkRegexList(" + path +
                                                    ", line 3): hit [EXAMPLE][ex(am)ple]"}}}));
  const std::string index_path = pattern_index_path(path);
  const auto judged_with = [&](const std::string& damaged) {
    checks_test::write_file(index_path, damaged);
    pattern_index ignored;
    EXPECT_FALSE(decode_pattern_index(damaged, &ignored));
    return checked(path, "EXAMPLE");
  };
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    ASSERT_EQ(judged_with(bytes.substr(0, length)), plain) << "cut at " << length;
  }
  EXPECT_EQ(judged_with(bytes + "x"), plain);
  // Damage to the fields a run reads: the ids filed, the line records and the literal
  // table, and counts that no longer fit the sections. The list has a failing line (tried
  // on every subject) and a filtered one filed under "ple"; the sections start at 96
  // (always-tried ids), 100 (17 bucket starts), 168 (16 bucket checksums), 232 (filed ids),
  // 236 (records of 28 bytes), 292 (literals) and 300 (texts).
  ASSERT_EQ(bytes.size(), 300u + 1 + 9 + 26 + 3);
  struct damage {
    std::size_t offset;
    int width;
    std::uint32_t value;
    const char* what;
  };
  const damage damages[] = {
      {68, 4, 3, "one record more than there are"},
      {80, 4, 15, "a bucket count that is not a power of two"},
      {96, 4, 2, "an always-tried id beyond the records"},
      {232, 4, 9, "a filed id beyond the records"},
      {236, 4, 0, "line number 0"},
      {240, 1, 7, "an unknown kind"},
      {241, 1, 200, "an error text too long for the matcher's buffer"},
      {264, 4, 2, "a line number no later than the one before"},
      {270, 2, 0, "a text of no length"},
      {272, 4, 0xffff, "a text outside the texts"},
      {284, 4, 5, "literals beyond the table"},
      {292, 4, 0x7fff, "a literal outside the texts"},
      {296, 4, 0, "a literal of no length"},
  };
  for (const damage& each : damages) {
    std::string changed = bytes;
    for (int i = 0; i < each.width; ++i) {
      changed[each.offset + i] = static_cast<char>(each.value >> (8 * i));
    }
    ASSERT_NE(changed, bytes) << each.what;
    ASSERT_EQ(judged_with(changed), plain) << each.what;
  }
  // Any one byte changed anywhere - a line number, a text, an error text, a literal, an id
  // filed, the list's identity - is found out by a checksum: the plain walk's very output.
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) {
    for (const unsigned char flip : {0x01, 0x20, 0xff}) {
      std::string changed = bytes;
      changed[offset] = static_cast<char>(static_cast<unsigned char>(changed[offset]) ^ flip);
      ASSERT_EQ(judged_with(changed), plain) << "byte " << offset << " ^ " << int{flip};
    }
  }
  // The undamaged index decodes to what was written.
  pattern_index again;
  ASSERT_TRUE(decode_pattern_index(bytes, &again));
  ASSERT_EQ(again.records.size(), 2u);
  EXPECT_EQ(again.records[0].text, "[");
  EXPECT_EQ(again.records[0].error, "Invalid regular expression");
  EXPECT_EQ(again.records[1].kind, pattern_kind::filtered);
  EXPECT_EQ(index_literals(again), std::vector<std::string>{"ple"});
}

// A run reads the parts of an index as it needs them: read on demand they are what a whole
// decode gives, and an index cut short after it was opened (a hand edit, a full disk) fails
// the first read past its new end instead of yielding bytes that are not there.
TEST_F(PatternIndexTest, IndexReadOnDemandAgreesWithTheDecodeAndNoticesACut) {
  std::string text;
  for (int n = 0; n < 400; ++n) text += "^dyn-" + std::to_string(n) + "\\.pool[0-9]\\.example$\n";
  const std::string path = list("list", text);
  std::string bytes;
  pattern_index loaded;
  index(path, &bytes, &loaded);
  ASSERT_GT(bytes.size(), 3 * 4096u);
  const std::string index_path = pattern_index_path(path);
  pattern_index_view view;
  ASSERT_TRUE(view.open_file(index_path));
  std::vector<std::uint64_t> marks;
  ASSERT_TRUE(view.candidates("dyn-377.pool7.example", &marks));
  int marked = 0;
  for (std::size_t id = 0; id < loaded.records.size(); ++id) {
    if ((marks[id / 64] >> (id % 64) & 1) == 0) continue;
    ++marked;
    pattern_record record;
    ASSERT_TRUE(view.record(id, &record)) << id;
    EXPECT_EQ(record.text, loaded.records[id].text);
    EXPECT_EQ(record.line_number, loaded.records[id].line_number);
  }
  EXPECT_GE(marked, 1);
  EXPECT_LT(marked, 40);
  ASSERT_TRUE(view.open_file(index_path));
  ASSERT_EQ(::truncate(index_path.c_str(), 4096), 0);
  EXPECT_FALSE(view.candidates("dyn-377.pool7.example", &marks));
  pattern_record record;
  EXPECT_FALSE(view.record(loaded.records.size() - 1, &record));
  EXPECT_FALSE(view.open_file(index_path + ".missing"));
}

}  // namespace
}  // namespace korvex
