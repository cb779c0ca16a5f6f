#include "plugin/checks/block_lists.h"
#include "tarn/tarn_map.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "tests/checks/checks_test_support.h"

namespace korvex {
namespace {

using checks_test::ScriptedChecks;
using checks_test::TempDir;
using checks_test::write_bytes;
using checks_test::write_map;
using ::korvex::testing::LoggedLine;
using Lines = std::vector<LoggedLine>;
using bytes = std::vector<unsigned char>;

void set_word(bytes* file, std::size_t offset, std::uint32_t word) {
  for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<unsigned char>(word >> (8 * i));
}

class TarnMapTest : public ::testing::Test {
 protected:
  TarnMapTest() { script_.context.tarn_map_dir = dir_.path(); }

  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  std::string map(const std::string& name, const std::vector<std::string>& entries) {
    write_map(path(name), entries);
    return path(name);
  }
  std::string raw(const std::string& name, const bytes& content) {
    write_bytes(path(name), content);
    return path(name);
  }

  ScriptedChecks script_;
  TempDir dir_;
  const CheckContext& context_ = script_.context;
};

TEST_F(TarnMapTest, LookupFollowsRootTableAndBitmap) {
  const std::string list =
      map("list", {"10.1.2.0", "10.1.2.7", "20.0.0.0/8", "30.5.0.0/16", "40.0.0.0/24"});
  const std::vector<std::pair<const char*, int>> cases = {
      {"10.1.2.0", 1},   {"10.1.2.7", 1},   {"10.1.2.1", 0},     {"10.1.2.6", 0},
      {"10.1.2.8", 0},   {"10.1.3.0", 0},   {"10.2.2.0", 0},     {"11.1.2.0", 0},
      {"20.0.0.0", 1},   {"20.255.9.9", 1}, {"30.5.255.255", 1}, {"30.6.0.0", 0},
      {"40.0.0.255", 1}, {"40.0.1.0", 0},   {"10.1.519", 1},  // inet_aton's short form
  };
  for (const auto& [ip, listed] : cases) EXPECT_EQ(lookupMapFile(context_.system_log, list, ip), listed) << ip;
  EXPECT_EQ(script_.lines(), Lines{});
}

TEST_F(TarnMapTest, OffsetsAreBoundedByTheFileSize) {
  bytes file(1024 + 1024 + 8192, 0);
  const std::uint32_t size = static_cast<std::uint32_t>(file.size());
  set_word(&file, 10 * 4, size - 1024);  // the last place a table fits
  set_word(&file, 11 * 4, size - 1024 + 1);
  set_word(&file, 12 * 4, 1024);
  set_word(&file, 1024 + 1 * 4, size - 8192);  // the last place a bitmap fits
  set_word(&file, 1024 + 2 * 4, size - 8192 + 1);
  file[size - 8192] = 0x80;  // 12.1.0.0
  const std::string list = raw("list", file);
  EXPECT_EQ(lookupMapFile(context_.system_log, list, "10.0.0.1"), 0);
  EXPECT_EQ(lookupMapFile(context_.system_log, list, "11.0.0.1"), -1);
  EXPECT_EQ(lookupMapFile(context_.system_log, list, "12.1.0.0"), 1);
  EXPECT_EQ(lookupMapFile(context_.system_log, list, "12.2.0.0"), -1);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_ERR, "lookupMap(): corrupt TARN file"},
                                    {LOG_ERR, "lookupMap(): corrupt TARN file"}}));
}

TEST_F(TarnMapTest, MapsTooSmallForTheNextLevelAreCorruptNotListed) {
  // A file shorter than a table must not have its stray bytes read as one.
  bytes small(600, 0);
  set_word(&small, 10 * 4, 100);
  set_word(&small, 104, 0xFFFFFFFF);  // would list 10.1.x.x if followed
  const std::string short_root = raw("short-root", small);
  EXPECT_EQ(lookupMapFile(context_.system_log, short_root, "10.1.0.1"), -1);

  bytes no_room(4096, 0);
  set_word(&no_room, 10 * 4, 1024);
  set_word(&no_room, 1024 + 1 * 4, 2048);
  no_room[2048] = 0xFF;  // would list 10.1.0.0-7 if followed
  const std::string short_bitmap = raw("short-bitmap", no_room);
  EXPECT_EQ(lookupMapFile(context_.system_log, short_bitmap, "10.1.0.1"), -1);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_ERR, "lookupMap(): corrupt TARN file"},
                                    {LOG_ERR, "lookupMap(): corrupt TARN file"}}));

  // A root table cut short fails on the read, without the corrupt line.
  script_.clear_lines();
  const std::string truncated = raw("truncated", bytes(100, 0));
  EXPECT_EQ(lookupMapFile(context_.system_log, truncated, "200.0.0.1"), -1);
  EXPECT_EQ(lookupMapFile(context_.system_log, truncated, "1.0.0.1"), 0);
  EXPECT_EQ(script_.lines(), Lines{});
}

TEST_F(TarnMapTest, LookupRefusesWhatIsNotAMapOrAnAddress) {
  EXPECT_EQ(lookupMap(context_.system_log, -1, htonl(0x0A010203)), -1);
  EXPECT_EQ(lookupMapFile(context_.system_log, path("missing"), "10.1.2.3"), -1);
  EXPECT_EQ(lookupMapFile(context_.system_log, dir_.path(), "10.1.2.3"), -1);
  EXPECT_EQ(lookupMapFile(context_.system_log, map("list", {"10.1.2.3"}), "10.1.2.x"), -1);
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_WARNING, "lookupMap(): invalid file handle"},
                   {LOG_WARNING, "lookupMapFile(): 10.1.2.x is not a valid IP address"}}));
}

TEST_F(TarnMapTest, LookupMapsReportsAndPrintsEveryMatchingList) {
  map("alpha", {"192.0.2.0/24"});
  map("beta", {"198.51.100.1"});
  map("gamma", {"192.0.2.9"});
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(lookupMaps(context_.system_log, dir_.path(), "alpha  beta gamma missing", "192.0.2.9", 1), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "alpha gamma \n");
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_INFO, "lookupMaps(): IP 192.0.2.9 is on block list alpha"},
                   {LOG_INFO, "lookupMaps(): IP 192.0.2.9 is NOT on block list beta"},
                   {LOG_INFO, "lookupMaps(): IP 192.0.2.9 is on block list gamma"}}));

  script_.clear_lines();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(lookupMaps(context_.system_log, dir_.path(), "beta", "203.0.113.1", 0), 0);
  EXPECT_EQ(lookupMaps(context_.system_log, dir_.path(), "alpha", "203.0.113", 0), 0);  // inet_aton takes it
  EXPECT_EQ(lookupMaps(context_.system_log, dir_.path(), "alpha", "not an address", 1), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_INFO, "lookupMaps(): IP 203.0.113.1 is NOT on block list beta"},
                   {LOG_INFO, "lookupMaps(): IP 203.0.113 is NOT on block list alpha"},
                   {LOG_WARNING, "lookupMaps(): not an address is not a valid IP address"}}));
}

TEST_F(TarnMapTest, LookupMapsWarnsAboutUnreadableLists) {
  write_bytes(path("broken"), bytes(10, 0));
  EXPECT_EQ(lookupMaps(context_.system_log, dir_.path(), "broken", "192.0.2.1", 0), 0);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_WARNING, "lookupMaps(): lookupMap() returned: -1"}}));
}

TEST_F(TarnMapTest, CheckListModes) {
  string_list hits;
  const string_list patterns = {"^mail\\.", "(", "example\\.net$"};
  EXPECT_EQ(checkList(context_, patterns, "MX.example.net", kCheckListRegex, &hits), 1);
  EXPECT_EQ(hits, string_list{"example\\.net$"});
  EXPECT_EQ(checkList(context_, patterns, "mail.example.org", kCheckListRegex, &hits), 1);
  EXPECT_EQ(hits, (string_list{"example\\.net$", "^mail\\."}));
  EXPECT_EQ(checkList(context_, patterns, "mx.example.org", kCheckListRegex, nullptr), 0);
  EXPECT_EQ(script_.lines(), (Lines{{LOG_INFO, "Warning: regcomp(): Unmatched ( or \\(\n"},
                                    {LOG_INFO, "Warning: regcomp(): Unmatched ( or \\(\n"}}));

  hits.clear();
  const string_list exact = {"user@example.net", "other@example.net"};
  EXPECT_EQ(checkList(context_, exact, "other@example.net", kCheckListExact, &hits), 1);
  EXPECT_EQ(checkList(context_, exact, "Other@example.net", kCheckListExact, &hits), 0);
  EXPECT_EQ(hits, string_list{});
  EXPECT_EQ(checkList(context_, {}, "anything", kCheckListRegex, &hits), 0);
}

TEST_F(TarnMapTest, BlockListsNamesEveryListThatHolds) {
  map("a-list", {"192.0.2.0/24"});
  map("b-list", {"198.51.100.0/24"});
  map("c-list", {"192.0.2.77"});
  write_bytes(path("d-corrupt"), bytes(10, 0xFF));
  SessionState state;
  state.ip = "192.0.2.77";
  state.log = ::korvex::testing::capture_sink;
  string_list hits;
  const string_list enabled = {"a-list", "b-list", "c-list", "d-corrupt", "e-missing"};
  EXPECT_EQ(block_lists(context_, state, enabled, &hits), HIT);
  EXPECT_EQ(hits, (string_list{"a-list", "c-list"}));
  Lines expected;
  for (const auto& name : enabled) {
    expected.push_back({LOG_DEBUG, "checkList(): TARN lookup [" + path(name) + "]"});
  }
  EXPECT_EQ(script_.lines(), expected);

  hits.clear();
  state.ip = "203.0.113.1";
  EXPECT_EQ(block_lists(context_, state, enabled, &hits), DUNNO);
  EXPECT_EQ(hits, string_list{});

  script_.clear_lines();
  EXPECT_EQ(block_lists(context_, state, {}, &hits), DUNNO);
  EXPECT_EQ(script_.lines(), Lines{});
  state.ip.reset();
  EXPECT_EQ(block_lists(context_, state, enabled, &hits), DUNNO);
  EXPECT_EQ(script_.lines(),
            (Lines{{LOG_DEBUG, "block_lists(): null argument(s) passed, failing open."}}));
}

}  // namespace
}  // namespace korvex
