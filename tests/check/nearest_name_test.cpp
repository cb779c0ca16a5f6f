// nearest_name: the suggestion korvex-check makes for a misspelt rule name.
#include "check/nearest_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace korvex {
namespace {

const std::vector<std::string> kRules = {"block_lists",
                                         "block_ip_in_addr",
                                         "check_ip_reverse_dns",
                                         "check_dynamic_reverse_dns",
                                         "check_reverse_dns_list",
                                         "resolve_helo_domain",
                                         "require_full_addr",
                                         "require_helo",
                                         "valid_from_domain",
                                         "valid_helo_domain",
                                         "known_sender_forgery"};

TEST(EditDistance, CountsSwapsOfNeighboursAsOneEdit) {
  EXPECT_EQ(edit_distance("revrese", "reverse"), 1U);
  EXPECT_EQ(edit_distance("ab", "ba"), 1U);
  EXPECT_EQ(edit_distance("", "abc"), 3U);
  EXPECT_EQ(edit_distance("kitten", "sitting"), 3U);
  EXPECT_EQ(edit_distance("ca", "abc"), 3U);  // no edit of a swapped pair again
  EXPECT_EQ(edit_distance("same", "same"), 0U);
}

TEST(NearestName, SuggestsTheRuleMeantAndNothingForStrangers) {
  EXPECT_EQ(nearest_name("check_ip_revrese_dns", kRules), "check_ip_reverse_dns");
  EXPECT_EQ(nearest_name("Known_Sender_Forgery", kRules), "known_sender_forgery");
  EXPECT_EQ(nearest_name("block_list", kRules), "block_lists");
  EXPECT_EQ(nearest_name("require_helo ", kRules), "require_helo");
  // Four edits from both valid_from_domain and valid_helo_domain: the first in order wins.
  EXPECT_EQ(nearest_name("valid_xxxx_domain", kRules), "valid_from_domain");
  EXPECT_EQ(nearest_name("helo", kRules), std::nullopt);
  EXPECT_EQ(nearest_name("frobnicate", kRules), std::nullopt);
}

}  // namespace
}  // namespace korvex
