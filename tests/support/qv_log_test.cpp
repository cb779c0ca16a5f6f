#include "support/qv_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::LoggedLine;
using testing::VerboseDebug;

TEST(Diagnostics, NothingIsProducedWithoutASink) {
  qv_set_logger(nullptr);
  VerboseDebug verbose;
  testing::captured_lines().clear();
  qv_log_info("info %d", 1);
  qv_log_error("fn", "qv_file", 1, "error");
  qv_log_debug("fn", "qv_file", 1, "debug");
  EXPECT_TRUE(testing::captured_lines().empty());
}

TEST(Diagnostics, LineFormatsAndPriorities) {
  LogCapture capture;
  VerboseDebug verbose;
  qv_log_info("plain %s", "text");
  qv_log_error("qv_open", "qv_file", 171, "%s", "Permission denied");
  qv_log_debug("qv_read", "qv_file", 12, "read %d bytes", 40);
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{
                                 {6, "plain text"},
                                 {3, "qv_file:171 ERROR qv_open(): Permission denied"},
                                 {7, "qv_file:12 DEBUG qv_read(): read 40 bytes"},
                             }));
}

TEST(Diagnostics, DebugFollowsTheEnvironmentOnEveryCall) {
  LogCapture capture;
  {
    VerboseDebug off(false);
    qv_log_debug("f", "m", 1, "hidden");
    qv_log_error("f", "m", 2, "shown");
  }
  {
    VerboseDebug on;  // set to the empty string: presence alone counts
    qv_log_debug("f", "m", 3, "visible");
  }
  EXPECT_EQ(capture.texts(), (std::vector<std::string>{"m:2 ERROR f(): shown",
                                                        "m:3 DEBUG f(): visible"}));
}

TEST(Diagnostics, MissingFunctionOrFormatSuppressesTheLine) {
  LogCapture capture;
  VerboseDebug verbose;
  qv_log_error(nullptr, "m", 1, "x");
  qv_log_debug(nullptr, "m", 1, "x");
  qv_log_error("f", "m", 1, nullptr);
  qv_log_info(nullptr);
  EXPECT_TRUE(capture.lines().empty());
}

TEST(Diagnostics, CallerTextIsCutAt254Characters) {
  LogCapture capture;
  const std::string long_text(300, 'x');
  qv_log_info("%s", long_text.c_str());
  qv_log_error("f", "m", 9, "%s", long_text.c_str());
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0].text, std::string(254, 'x'));
  EXPECT_EQ(capture.lines()[1].text, "m:9 ERROR f(): " + std::string(254, 'x'));
}

TEST(Diagnostics, StderrPrintWritesOneLinePerCall) {
  ::testing::internal::CaptureStderr();
  stderr_print(7, "abc\n\n");
  stderr_print(3, "value %d of %s", 5, "five");
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "DEBUG[" + pid + "]: abc\nDEBUG[" + pid + "]: value 5 of five\n");
}

}  // namespace
}  // namespace korvex
