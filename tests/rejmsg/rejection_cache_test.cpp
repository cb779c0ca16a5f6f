#include "rejmsg/rejection_cache.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/rejmsg/private_ipc.h"
#include "tests/support/log_capture.h"

namespace korvex {
namespace {

using testing::LogCapture;
using testing::LoggedLine;
using testing::RawSegment;
using testing::capture_sink;
using testing::make_segment;
using testing::read_segment;
using testing::segment_count;
using testing::segment_layout;

constexpr int kRequireHelo = 21;
constexpr int kBlockLists = 44;

class RejectionCache : public testing::PrivateIpc {};

TEST_F(RejectionCache, ReasonIdsOfZeroOrLessHaveNoMessage) {
  make_segment(0x100, segment_layout(1, "z"), 0644);  // same low byte as ReasonId 0
  EXPECT_EQ(rejection_cache_lookup(0), -1);
  EXPECT_EQ(rejection_cache_lookup(-5), -1);
  EXPECT_EQ(rejection_cache_fetch(0), std::nullopt);
  EXPECT_EQ(rejection_cache_fetch(-1), std::nullopt);
  EXPECT_FALSE(rejection_cache_store(0, "text"));
  EXPECT_FALSE(rejection_cache_store(-3, std::nullopt));
  EXPECT_EQ(segment_count(), 1);
}

TEST_F(RejectionCache, StoreWritesTheExactSegmentLayout) {
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "x"));
  EXPECT_EQ(read_segment(kRequireHelo), (RawSegment{{1, 0, 0, 0, 'x'}, 0644}));

  const std::string long_text(300, 'm');  // length word 300 = 0x012c
  ASSERT_TRUE(rejection_cache_store(kBlockLists, long_text));
  std::vector<unsigned char> expected{0x2c, 0x01, 0x00, 0x00};
  expected.insert(expected.end(), long_text.begin(), long_text.end());
  EXPECT_EQ(read_segment(kBlockLists), (RawSegment{expected, 0644}));

  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), "x");
  EXPECT_EQ(rejection_cache_fetch(kBlockLists), long_text);
  EXPECT_EQ(rejection_cache_lookup(kRequireHelo), shmget(testing::cache_key(kRequireHelo), 0, 0));
  EXPECT_EQ(rejection_cache_fetch(22), std::nullopt);
  EXPECT_EQ(rejection_cache_lookup(22), -1);
  EXPECT_EQ(segment_count(), 2);
}

TEST_F(RejectionCache, StoreReplacesTheSegmentAndEmptyOrMissingClearsIt) {
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "a first and rather long message"));
  const int first = rejection_cache_lookup(kRequireHelo);
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "second"));
  EXPECT_NE(rejection_cache_lookup(kRequireHelo), first);
  EXPECT_EQ(read_segment(kRequireHelo), (RawSegment{segment_layout(6, "second"), 0644}));
  EXPECT_EQ(segment_count(), 1);

  EXPECT_TRUE(rejection_cache_store(kRequireHelo, ""));
  EXPECT_EQ(segment_count(), 0);
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), std::nullopt);
  EXPECT_TRUE(rejection_cache_store(kRequireHelo, "back"));
  EXPECT_TRUE(rejection_cache_store(kRequireHelo, std::nullopt));
  EXPECT_EQ(segment_count(), 0);
  EXPECT_TRUE(rejection_cache_store(kRequireHelo, std::nullopt));
}

TEST_F(RejectionCache, WorldWritableSegmentsOfOlderBuildsStillReadAndAreReplaced) {
  make_segment(kRequireHelo, segment_layout(5, "older"), 0777);
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), "older");
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "newer"));
  EXPECT_EQ(read_segment(kRequireHelo), (RawSegment{segment_layout(5, "newer"), 0644}));
}

TEST_F(RejectionCache, ALengthWordThatDoesNotFitTheSegmentMeansNoMessage) {
  make_segment(2, segment_layout(0xffffffff, "abcdef"), 0644);   // negative
  make_segment(17, segment_layout(7, "abcdef"), 0644);           // one byte past the end
  make_segment(19, segment_layout(0x7fffffff, "abcdef"), 0644);  // would overflow N+4
  make_segment(22, {9, 0}, 0644);                                // no room for a length word
  for (int id : {2, 17, 19, 22}) {
    EXPECT_EQ(rejection_cache_lookup(id), -1) << id;
    EXPECT_EQ(rejection_cache_fetch(id), std::nullopt) << id;
  }
  // Storing over a damaged segment replaces it like any other.
  ASSERT_TRUE(rejection_cache_store(17, "mended"));
  EXPECT_EQ(read_segment(17), (RawSegment{segment_layout(6, "mended"), 0644}));
  ASSERT_TRUE(rejection_cache_store(2, std::nullopt));
  EXPECT_EQ(testing::ids_with_segments(), (std::set<int>{17, 19, 22}));
}

TEST_F(RejectionCache, TheLengthWordAndTheFirstNulBoundTheText) {
  make_segment(2, segment_layout(3, "abcdef"), 0644);  // shorter than the segment
  make_segment(17, segment_layout(0, "abc"), 0644);    // length not yet published
  make_segment(19, segment_layout(6, std::string("ab\0\0\0\0", 6)), 0644);
  EXPECT_EQ(rejection_cache_fetch(2), "abc");
  // A segment whose length is not yet published holds no message, not an empty one.
  EXPECT_EQ(rejection_cache_fetch(17), std::nullopt);
  EXPECT_EQ(rejection_cache_fetch(19), "ab");
}

TEST_F(RejectionCache, KeyFailuresAreLoggedAtDebugPriority) {
  LogCapture capture;
  const char* missing = "/nonexistent/korvex-key";
  EXPECT_EQ(rejection_cache_lookup(kRequireHelo, missing, capture_sink), -1);
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo, missing, capture_sink), std::nullopt);
  EXPECT_FALSE(rejection_cache_store(kRequireHelo, "x", missing, capture_sink));
  EXPECT_TRUE(rejection_cache_store(kRequireHelo, std::nullopt, missing, capture_sink));
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{
                                 {7, "failed to generate key"},
                                 {7, "failed to generate key"},
                                 {7, "failed to generate key"},
                                 {7, "failed to generate unique key"},
                                 {7, "failed to generate key"},
                             }));
  EXPECT_EQ(segment_count(), 0);
  // Without a log function the same failures are silent.
  EXPECT_FALSE(rejection_cache_store(kRequireHelo, "x", missing, nullptr));
  EXPECT_EQ(capture.lines().size(), 5U);
}

TEST_F(RejectionCache, AFailedCreationLeavesTheRuleWithoutAMessage) {
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "old"));
  {
    // Segments above the namespace's size limit cannot be made.
    std::ofstream limit("/proc/sys/kernel/shmmax");
    limit << 8;
  }
  LogCapture capture;
  EXPECT_FALSE(rejection_cache_store(kRequireHelo, "too long", kRejectionKeyFile, capture_sink));
  EXPECT_EQ(capture.lines(), (std::vector<LoggedLine>{{7, "failed to link memory buffer for IPC"}}));
  EXPECT_EQ(rejection_cache_fetch(kRequireHelo), std::nullopt);
  EXPECT_EQ(segment_count(), 0);
}

TEST_F(RejectionCache, OtherUsersReadSegmentsButCannotRewriteThem) {
  ASSERT_TRUE(rejection_cache_store(kRequireHelo, "from root"));
  const std::string seen = testing::run_as_nobody([] {
    const int shmid = rejection_cache_lookup(kRequireHelo);
    const bool writable = shmat(shmid, nullptr, 0) != reinterpret_cast<void*>(-1);
    return "fetch=" + rejection_cache_fetch(kRequireHelo).value_or("<none>") +
           " writable=" + std::to_string(writable) +
           " store=" + std::to_string(rejection_cache_store(kRequireHelo, "from nobody"));
  });
  EXPECT_EQ(seen, "fetch=from root writable=0 store=0");
  EXPECT_EQ(read_segment(kRequireHelo), (RawSegment{segment_layout(9, "from root"), 0644}));
}

}  // namespace
}  // namespace korvex
