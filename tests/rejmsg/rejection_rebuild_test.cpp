#include "rejmsg/rejection_rebuild.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "rejmsg/rejection_cache.h"
#include "rules/rule_registry.h"
#include "tests/rejmsg/private_ipc.h"
#include "tests/rejmsg/temp_dir.h"

namespace korvex {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using testing::TempDir;

// Cached message of every rule that has one, by rule name.
std::map<std::string, std::string> cached_messages() {
  std::map<std::string, std::string> messages;
  for (const rule_descriptor& rule : kRuleRegistry) {
    if (auto message = rejection_cache_fetch(rule.reason)) messages[std::string(rule.name)] = *message;
  }
  return messages;
}

class RejectionRebuild : public testing::PrivateIpc {
 protected:
  TempDir dir_;
};

TEST(RejectionRules, NamesMapToTheirReasonIdsExactly) {
  EXPECT_EQ(rule_reason("block_lists"), 44);
  EXPECT_EQ(rule_reason("valid_from_domain"), 2);
  EXPECT_EQ(rule_reason("known_sender_forgery"), 46);
  EXPECT_EQ(rule_reason("REQUIRE_HELO"), 0);
  EXPECT_EQ(rule_reason("require_helo "), 0);
  EXPECT_EQ(rule_reason(""), 0);
  EXPECT_EQ(rejection_file_path("/etc/korvex/rejections", "require_helo"),
            "/etc/korvex/rejections/require_helo");
}

TEST_F(RejectionRebuild, AMissingDirectoryFails) {
  dir_.write("plain", "not a directory");
  for (const std::string& path : {dir_.file("absent"), dir_.file("plain")}) {
    CaptureStderr();
    EXPECT_EQ(rejection_cache_rebuild(path), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "Fatal error: persistent storage path " + path + " does not exist!\n");
  }
}

TEST_F(RejectionRebuild, TheCacheFollowsTheFiles) {
  // Stale segments of rules whose files are gone or empty.
  ASSERT_TRUE(rejection_cache_store(17, "stale full addr"));
  ASSERT_TRUE(rejection_cache_store(46, "stale forgery"));
  ASSERT_TRUE(rejection_cache_store(42, "stale dynamic"));

  dir_.write("require_helo", "Say HELO to %IP%");
  dir_.write("block_lists", "line one\nline two\n");
  dir_.write("valid_helo_domain", std::string(600, 'v'));
  dir_.write("known_sender_forgery", "");
  dir_.write("unrelated", "not a rule");
  dir_.write("target", "through a link");
  ASSERT_EQ(symlink(dir_.file("target").c_str(), dir_.file("check_ip_reverse_dns").c_str()), 0);
  ASSERT_EQ(mkdir(dir_.file("check_dynamic_reverse_dns").c_str(), 0755), 0);

  CaptureStderr();
  EXPECT_EQ(rejection_cache_rebuild(dir_.path()), 0);
  EXPECT_EQ(GetCapturedStderr(), "");

  EXPECT_EQ(cached_messages(), (std::map<std::string, std::string>{
                                   {"block_lists", "line one\n"},
                                   {"check_ip_reverse_dns", "through a link"},
                                   {"require_helo", "Say HELO to %IP%"},
                                   {"valid_helo_domain", std::string(511, 'v')},
                               }));
  EXPECT_EQ(testing::segment_count(), 4);
  // Only the empty message file is gone.
  EXPECT_EQ(dir_.contents(), (std::map<std::string, std::string>{
                                 {"block_lists", "line one\nline two\n"},
                                 {"check_dynamic_reverse_dns", "<dir>"},
                                 {"check_ip_reverse_dns", "through a link"},
                                 {"require_helo", "Say HELO to %IP%"},
                                 {"target", "through a link"},
                                 {"unrelated", "not a rule"},
                                 {"valid_helo_domain", std::string(600, 'v')},
                             }));
}

TEST_F(RejectionRebuild, AnUnreadableFileStopsTheRebuildAndLeavesLaterRulesAlone) {
  // Run as an ordinary user, for whom file permissions count.
  ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
  dir_.write("block_lists", "unreadable");
  ASSERT_EQ(chmod(dir_.file("block_lists").c_str(), 0), 0);
  dir_.write("require_helo", "new helo");
  const std::string path = dir_.path();
  const std::string seen = testing::run_as_nobody([&path] {
    const bool stored = rejection_cache_store(21, "old helo") && rejection_cache_store(44, "old");
    const int result = rejection_cache_rebuild(path);
    return "stored=" + std::to_string(stored) + " result=" + std::to_string(result) +
           " helo=" + rejection_cache_fetch(21).value_or("<none>") +
           " lists=" + rejection_cache_fetch(44).value_or("<none>");
  });
  EXPECT_EQ(seen, "Error opening file " + path +
                      "/block_lists\nstored=1 result=-1 helo=old helo lists=old");
}

}  // namespace
}  // namespace korvex
