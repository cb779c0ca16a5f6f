#include "tests/e2e/syslog_sink.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace korvex::testing {
namespace {

std::string describe_parsed(std::string_view datagram) {
  const auto line = parse_syslog_line(datagram);
  if (!line) return "(not syslog)";
  return line->describe() + (line->pid ? " pid " + std::to_string(*line->pid) : " no pid");
}

TEST(SyslogParsing, SplitsTheFormatsProgramsSend) {
  EXPECT_EQ(describe_parsed("<19>Mar  4 09:01:02 korvex-plesk[4711]: rule hit: helo"),
            "mail.err korvex-plesk: rule hit: helo pid 4711");
  EXPECT_EQ(describe_parsed("<22>Dec 24 23:59:59 korvex-listmgr: added 192.0.2.1"),
            "mail.info korvex-listmgr: added 192.0.2.1 no pid");
  EXPECT_EQ(describe_parsed("<15>Jan  1 00:00:00 regexpull[7]: "),
            "user.debug regexpull:  pid 7");
  EXPECT_EQ(describe_parsed("<30>no tag here"), "daemon.info : no tag here no pid");
  EXPECT_EQ(describe_parsed("<187>1 2024-05-01T10:00:00.000000+00:00 vm korvex-test 99 - "
                            "[timeQuality tzKnown=\"1\" x=\"a\\]b\"] \xEF\xBB\xBFtext [x]"),
            "local7.err korvex-test: text [x] pid 99");
  EXPECT_EQ(describe_parsed("<2>1 - - - - - - bare"), "kern.crit : bare no pid");
  EXPECT_EQ(describe_parsed("plain text"), "(not syslog)");
  EXPECT_EQ(describe_parsed("<192>Jan  1 00:00:00 x: y"), "(not syslog)");
  EXPECT_EQ(describe_parsed("<1x>a: b"), "(not syslog)");
  EXPECT_EQ(describe_parsed("<>a: b"), "(not syslog)");
}

TEST(SyslogParsing, KeepsTextBytesAndNamesPriorities) {
  const auto line = parse_syslog_line("<17>Feb 10 11:12:13 ksfpull[1]: a\tb \n");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, (SyslogLine{LOG_MAIL, LOG_ALERT, "ksfpull", 1, "a\tb \n"}));
  EXPECT_EQ(line->priority(), LOG_MAIL | LOG_ALERT);
  EXPECT_EQ(facility_name(LOG_LOCAL3), "local3");
  EXPECT_EQ(facility_name(200 << 3), "facility1600");
  EXPECT_EQ(severity_name(LOG_WARNING), "warning");
  EXPECT_EQ(severity_name(9), "severity9");
}

TEST(SyslogSink, RecordsDatagramsInOrderAfterSync) {
  char directory[] = "/tmp/korvex-syslog-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string path = std::string(directory) + "/log";
  {
    SyslogSink sink;
    ASSERT_TRUE(sink.start(path));
    EXPECT_FALSE(sink.start(path));
    const int sender = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    for (const std::string message : {"<11>Jan  1 00:00:00 one: first", "garbage",
                                      "<12>Jan  1 00:00:00 two[5]: second"}) {
      EXPECT_GT(sendto(sender, message.data(), message.size(), 0,
                       reinterpret_cast<sockaddr*>(&address), sizeof address),
                0);
    }
    ASSERT_EQ(close(sender), 0);
    ASSERT_TRUE(sink.sync());
    ASSERT_EQ(sink.count(), 2U);
    EXPECT_EQ(sink.lines()[0].describe(), "user.err one: first");
    EXPECT_EQ(sink.lines_from(1).at(0).describe(), "user.warning two: second");
    EXPECT_TRUE(sink.lines_from(5).empty());
    EXPECT_EQ(sink.unparsed(), std::vector<std::string>{"garbage"});
    sink.clear();
    ASSERT_TRUE(sink.sync());
    EXPECT_TRUE(sink.lines().empty());
    sink.stop();
    EXPECT_FALSE(sink.sync());
  }
  ASSERT_EQ(std::system(("rm -rf " + std::string(directory)).c_str()), 0);
}

}  // namespace
}  // namespace korvex::testing
