#include "spp/smtp_auth.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace korvex {
namespace {

TEST(Base64, DecodesPaddedTextAndRefusesEverythingElse) {
  using namespace std::string_literals;
  EXPECT_EQ(decode_base64(""), "");
  EXPECT_EQ(decode_base64("YQ=="), "a");
  EXPECT_EQ(decode_base64("YWI="), "ab");
  EXPECT_EQ(decode_base64("YWJj"), "abc");
  EXPECT_EQ(decode_base64("AGpvZQBzZWNyZXQ="), "\0joe\0secret"s);
  EXPECT_EQ(decode_base64("/+8="), "\xff\xef"s);
  EXPECT_EQ(decode_base64("YWJ"), std::nullopt);       // not whole groups
  EXPECT_EQ(decode_base64("Y=Jj"), std::nullopt);      // padding in the middle
  EXPECT_EQ(decode_base64("YQ==YWJj"), std::nullopt);  // padding before the end
  EXPECT_EQ(decode_base64("Y==="), std::nullopt);      // too much padding
  EXPECT_EQ(decode_base64("YW J"), std::nullopt);      // not in the alphabet
}

TEST(AuthPlain, AcceptsOnlyAKnownUserWithItsPassword) {
  const credentials accounts{{"joe", "secret"}, {"ann", "pa:ss"}};
  std::string user;
  // "\0joe\0secret", "joe\0joe\0secret", "\0ann\0pa:ss"
  EXPECT_EQ(check_auth_plain("AGpvZQBzZWNyZXQ=", accounts, &user), auth_check::accepted);
  EXPECT_EQ(user, "joe");
  EXPECT_EQ(check_auth_plain("am9lAGpvZQBzZWNyZXQ=", accounts, &user), auth_check::accepted);
  EXPECT_EQ(check_auth_plain("AGFubgBwYTpzcw==", accounts, &user), auth_check::accepted);
  EXPECT_EQ(user, "ann");

  user.clear();
  // "\0joe\0secreT", "ann\0joe\0secret", "\0bob\0secret", "\0joe\0"
  EXPECT_EQ(check_auth_plain("AGpvZQBzZWNyZVQ=", accounts, &user), auth_check::rejected);
  EXPECT_EQ(check_auth_plain("YW5uAGpvZQBzZWNyZXQ=", accounts, &user), auth_check::rejected);
  EXPECT_EQ(check_auth_plain("AGJvYgBzZWNyZXQ=", accounts, &user), auth_check::rejected);
  EXPECT_EQ(check_auth_plain("AGpvZQA=", accounts, &user), auth_check::rejected);
  // "joe\0secret" (one field short), "\0joe\0secret\0" (one too many), not base64
  EXPECT_EQ(check_auth_plain("am9lAHNlY3JldA==", accounts, &user), auth_check::malformed);
  EXPECT_EQ(check_auth_plain("AGpvZQBzZWNyZXQA", accounts, &user), auth_check::malformed);
  EXPECT_EQ(check_auth_plain("joe:secret", accounts, &user), auth_check::malformed);
  EXPECT_EQ(user, "");
}

TEST(Credentials, ReadsUserPasswordLinesAndNamesBadOnes) {
  credentials accounts;
  std::string error;
  ASSERT_TRUE(parse_credentials("# accounts\njoe:secret\r\n\nann:pa:ss\nempty:\n", &accounts,
                                &error))
      << error;
  EXPECT_EQ(accounts, (credentials{{"joe", "secret"}, {"ann", "pa:ss"}, {"empty", ""}}));

  EXPECT_FALSE(parse_credentials("joe:secret\njoe\n", &accounts, &error));
  EXPECT_EQ(error, "line 2: expected user:password");
  EXPECT_FALSE(parse_credentials(":secret\n", &accounts, &error));
  EXPECT_EQ(error, "line 1: expected user:password");
  EXPECT_FALSE(parse_credentials("joe:a\nann:b\njoe:c\n", &accounts, &error));
  EXPECT_EQ(error, "line 3: user joe given twice");
}

}  // namespace
}  // namespace korvex
