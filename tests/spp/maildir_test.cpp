#include "spp/maildir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/spp/spp_test_files.h"

namespace korvex {
namespace {

using Names = std::vector<std::string>;

TEST(Maildir, NamesAreUniquePerDeliveryAndSafeForTheDirectory) {
  EXPECT_EQ(maildir_name(1700000000, 42, 1234, 7, "mx.example.org"),
            "1700000000.M42P1234Q7.mx.example.org");
  EXPECT_EQ(maildir_name(1, 0, 2, 3, "odd/host:name"), "1.M0P2Q3.odd\\057host\\072name");
}

TEST(Maildir, DeliversIntoNewThroughTmpCreatingTheFolders) {
  const testing::ScratchDir dir;
  std::string error;
  ASSERT_TRUE(maildir_deliver(dir.file("Maildir"), "one", "Subject: a\n\nbody\n", &error)) << error;
  ASSERT_TRUE(maildir_deliver(dir.file("Maildir"), "two", "", &error)) << error;
  EXPECT_EQ(dir.entries("Maildir"), (Names{"cur", "new", "tmp"}));
  EXPECT_EQ(dir.entries("Maildir/new"), (Names{"one", "two"}));
  EXPECT_EQ(dir.entries("Maildir/tmp"), Names{});
  EXPECT_EQ(dir.read("Maildir/new/one"), "Subject: a\n\nbody\n");
}

TEST(Maildir, FailsWithoutLeavingOrTouchingFiles) {
  const testing::ScratchDir dir;
  std::string error;
  const std::string not_a_directory = dir.write("file", "x");
  EXPECT_FALSE(maildir_deliver(not_a_directory, "one", "text", &error));
  EXPECT_EQ(error, "mkdir " + not_a_directory + "/tmp: Not a directory");

  // A name already taken in tmp/ belongs to another delivery: neither used nor removed.
  ASSERT_TRUE(maildir_deliver(dir.file("Maildir"), "first", "", &error));
  dir.write("Maildir/tmp/taken", "someone else's");
  EXPECT_FALSE(maildir_deliver(dir.file("Maildir"), "taken", "mine", &error));
  EXPECT_EQ(error, "create " + dir.file("Maildir/tmp/taken") + ": File exists");
  EXPECT_EQ(dir.read("Maildir/tmp/taken"), "someone else's");
  EXPECT_EQ(dir.entries("Maildir/new"), Names{"first"});
}

}  // namespace
}  // namespace korvex
