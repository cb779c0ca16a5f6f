#include "tarn/tarn_map_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using bytes = std::vector<unsigned char>;

void set_word(bytes* file, std::size_t offset, std::uint32_t word) {
  for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<unsigned char>(word >> (8 * i));
}

bytes map_of(const std::vector<std::string>& entries) {
  tarn_map_builder builder;
  for (const auto& entry : entries) {
    tarn_block block{};
    EXPECT_TRUE(tarn_parse_block(entry, &block)) << entry;
    builder.add(block);
  }
  return builder.serialize();
}

TEST(TarnBlockParsing, AcceptsAddressesAndAlignedBlocksOnly) {
  tarn_block block{};
  ASSERT_TRUE(tarn_parse_block("10.1.2.7", &block));
  EXPECT_EQ(block.first, 0x0A010207u);
  EXPECT_EQ(block.prefix, 32u);
  ASSERT_TRUE(tarn_parse_block("192.0.2.0/24", &block));
  EXPECT_EQ(block.first, 0xC0000200u);
  EXPECT_EQ(block.prefix, 24u);
  ASSERT_TRUE(tarn_parse_block("0.0.0.0/0", &block));
  EXPECT_EQ(block.prefix, 0u);
  for (const char* bad :
       {"", "10.1.2", "10.1.2.3.4", "10.1.2.256", "10.1.2.3/33", "10.1.2.3/", "10.1.2.3/24",
        "10.1..3", "a.b.c.d", "10.1.2.3 ", "-1.2.3.4", "1.2.3.4/-1", "0x10.1.2.3", "1000.1.2.3"}) {
    EXPECT_FALSE(tarn_parse_block(bad, &block)) << bad;
  }
}

TEST(TarnMapLayout, SingleAddressGetsRootTableAndBitmap) {
  bytes expected(1024 + 1024 + 8192, 0);
  set_word(&expected, 10 * 4, 1024);
  set_word(&expected, 1024 + 1 * 4, 2048);
  expected[2048 + 2 * 32 + 0] = 0x01;  // 10.1.2.7: byte c*32 + d/8, mask 0x80 >> 7
  EXPECT_EQ(map_of({"10.1.2.7"}), expected);
}

TEST(TarnMapLayout, WholePrefixesBecomeAllOnesWords) {
  bytes slash8(1024, 0);
  set_word(&slash8, 10 * 4, 0xFFFFFFFF);
  EXPECT_EQ(map_of({"10.0.0.0/8"}), slash8);
  EXPECT_EQ(map_of({"10.0.0.0/9", "10.128.0.0/9"}), slash8);  // every /16 listed collapses
  EXPECT_EQ(map_of({"10.1.2.3", "10.0.0.0/8"}), slash8);      // the /8 swallows the address

  bytes slash16(2048, 0);
  set_word(&slash16, 10 * 4, 1024);
  set_word(&slash16, 1024 + 200 * 4, 0xFFFFFFFF);
  EXPECT_EQ(map_of({"10.200.0.0/16"}), slash16);
  EXPECT_EQ(map_of({"10.200.0.0/17", "10.200.128.0/17"}), slash16);  // full bitmap collapses

  bytes everything(1024, 0xFF);
  EXPECT_EQ(map_of({"0.0.0.0/0"}), everything);
  EXPECT_EQ(map_of({}), bytes(1024, 0));
}

TEST(TarnMapLayout, TablesAndBitmapsFollowInAddressOrder) {
  bytes expected(1024 + 1024 + 8192 + 8192 + 1024 + 8192, 0);
  const std::size_t table10 = 1024, bitmap10_1 = 2048, bitmap10_3 = 2048 + 8192;
  const std::size_t table20 = bitmap10_3 + 8192, bitmap20_0 = table20 + 1024;
  set_word(&expected, 10 * 4, table10);
  set_word(&expected, 20 * 4, table20);
  set_word(&expected, table10 + 1 * 4, bitmap10_1);
  set_word(&expected, table10 + 3 * 4, bitmap10_3);
  set_word(&expected, table20 + 0 * 4, bitmap20_0);
  expected[bitmap10_1 + 2 * 32] = 0x80;                                           // 10.1.2.0
  expected[bitmap10_3 + 255 * 32 + 31] = 0x01;                                    // 10.3.255.255
  for (std::size_t i = 0; i < 32; ++i) expected[bitmap20_0 + 5 * 32 + i] = 0xFF;  // 20.0.5.0/24
  expected[bitmap20_0 + 6 * 32] = 0xF0;                                           // 20.0.6.0/30
  EXPECT_EQ(map_of({"20.0.6.0/30", "10.3.255.255", "20.0.5.0/24", "10.1.2.0"}), expected);
}

class TarnMkmapTool : public ::testing::Test {
 protected:
  checks_test::TempDir dir_;
};

TEST_F(TarnMkmapTool, WritesTheMapOfItsInput) {
  const std::string output = dir_.path() + "/list";
  std::FILE* input = checks_test::text_stream("# listed peers\n\n  192.0.2.1  \n10.0.0.0/8\n");
  ASSERT_NE(input, nullptr);
  std::FILE* errors = checks_test::text_stream("");
  EXPECT_EQ(tarn_mkmap_run(input, output, errors), 0);
  EXPECT_EQ(checks_test::stream_text(errors), "");
  EXPECT_EQ(checks_test::file_bytes(output), map_of({"192.0.2.1", "10.0.0.0/8"}));
  EXPECT_FALSE(std::filesystem::exists(output + ".tmp"));
  (void)std::fclose(input);
  (void)std::fclose(errors);
}

TEST_F(TarnMkmapTool, BadLinesAreReportedAndNothingIsWritten) {
  const std::string output = dir_.path() + "/list";
  std::FILE* input = checks_test::text_stream("192.0.2.1\n10.1.2.3/8\nmail.example\n");
  std::FILE* errors = checks_test::text_stream("");
  EXPECT_EQ(tarn_mkmap_run(input, output, errors), 1);
  EXPECT_EQ(checks_test::stream_text(errors),
            "tarn-mkmap: line 2: not an IPv4 address or CIDR block: 10.1.2.3/8\n"
            "tarn-mkmap: line 3: not an IPv4 address or CIDR block: mail.example\n");
  EXPECT_FALSE(std::filesystem::exists(output));
  (void)std::fclose(input);
  (void)std::fclose(errors);
}

TEST_F(TarnMkmapTool, UnwritableDestinationFailsCleanly) {
  const std::string output = dir_.path() + "/missing-dir/list";
  std::FILE* input = checks_test::text_stream("192.0.2.1\n");
  std::FILE* errors = checks_test::text_stream("");
  EXPECT_EQ(tarn_mkmap_run(input, output, errors), 1);
  EXPECT_EQ(checks_test::stream_text(errors),
            "tarn-mkmap: cannot create " + output + ".tmp: No such file or directory\n");
  (void)std::fclose(input);
  (void)std::fclose(errors);
}

TEST_F(TarnMkmapTool, ProgramReadsFileArgumentAndReportsUsage) {
  const std::string list = dir_.path() + "/input";
  const std::string output = dir_.path() + "/map";
  std::ofstream(list) << "198.51.100.0/24\n";
  // Quoted for the shell: the build tree may lie in a path with blanks.
  const auto quoted = [](const std::string& path) { return "'" + path + "'"; };
  const std::string tool = quoted(TARN_MKMAP_PATH);
  EXPECT_EQ(std::system((tool + " " + quoted(output) + " " + quoted(list)).c_str()), 0);
  EXPECT_EQ(checks_test::file_bytes(output), map_of({"198.51.100.0/24"}));
  EXPECT_EQ(WEXITSTATUS(std::system((tool + " 2>/dev/null").c_str())), 2);
  const std::string missing_input =
      tool + " " + quoted(output) + " " + quoted(list + ".none") + " 2>/dev/null";
  EXPECT_EQ(WEXITSTATUS(std::system(missing_input.c_str())), 1);
}

}  // namespace
}  // namespace korvex
