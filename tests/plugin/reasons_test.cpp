#include "plugin/reasons.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <set>
#include <string>

#include "plugin_test_util.h"
#include "rejmsg/rejection_cache.h"

namespace korvex {
namespace {

using testing::CapturedStream;

const std::string kSite = "https://www.korvex.example";
const std::string kBanner = "Korvex 1.0.5-4 (https://www.korvex.example)";

SessionState peer(const char* ip) {
  SessionState state = empty_state;
  state.ip = ip;
  return state;
}

std::string printed_reply(const SessionState& state, ReasonId id) {
  CapturedStream out;
  EXPECT_EQ(respond(state, id, spp_print_lines, out.get()), 0);
  return out.text();
}

std::string builtin_answer(const std::string& reason_text, const std::string& address) {
  return "P550-Your message was rejected by this system and was not delivered.\n"
         "P550-Reason: " + reason_text + "\n"
         "P550-Protection provided by: " + kBanner + "\n"
         "P550-For more information, please visit the URL:\n"
         "P550-" + address + "\n"
         "E550 or contact your ISP or mail server operator.\n";
}

TEST(BuiltinReply, PrintsSixSppLinesWithReasonTextAndBestPracticesAddress) {
  EXPECT_EQ(printed_reply(peer("192.0.2.1"), 21),
            builtin_answer("Messages from your location are rejected, missing identifier "
                           "(HELO). Contact your email administrator",
                           kSite + "/best_practices/require_helo.html"));
  EXPECT_EQ(printed_reply(peer("192.0.2.1"), 40),
            builtin_answer("This system will not accept messages from your location. "
                           "IP=[192.0.2.1]",
                           kSite + "/empowering_the_user"));
  EXPECT_EQ(printed_reply(peer("192.0.2.1"), 46),
            builtin_answer("Your message does not conform to our acceptance polices and was "
                           "rejected",
                           kSite + "/best_practices/known_sender_forgery.html"));
}

TEST(BuiltinReply, AddressFormFollowsTheReason) {
  const std::set<ReasonId> user_page = {4, 28, 30, 36, 40};
  const SessionState state = peer("192.0.2.1");
  for (ReasonId id = 0; id < kReasonCount; ++id) {
    std::string expected = kSite + "/best_practices/" + reason_name(id) + ".html";
    if (user_page.count(id) != 0) expected = kSite + "/empowering_the_user";
    if (id == 44) expected = kSite + "/power_of_ip_reputation.html";
    EXPECT_EQ(url_funcs[id](state, nullptr), expected) << "reason " << id;
  }
  EXPECT_STREQ(reason_name(0), "spam_check");
  EXPECT_STREQ(reason_name(46), "known_sender_forgery");
  EXPECT_EQ(reason_name(47), nullptr);
  EXPECT_EQ(reason_name(-1), nullptr);
}

TEST(BuiltinReply, TextsFillSystemWordAndPeerAddress) {
  const SessionState state = peer("198.51.100.7");
  EXPECT_EQ(notice_funcs[44](state, "gateway"),
            "This system uses TARN to check your IP address reputation, and was rejected by the "
            "gateway. IP=[198.51.100.7]");
  EXPECT_EQ(notice_funcs[42](state, nullptr),
            "Your IP address [198.51.100.7] appears not to be an email server.");
  EXPECT_EQ(notice_funcs[2](state, nullptr),
            "This system will not accept this message, based on the MAIL FROM address provided");
  EXPECT_EQ(notice_funcs[17](state, "x"),
            "Invalid Recipient! You did not specify a complete email address to send to.");
  EXPECT_EQ(require_helo_url(state, nullptr), kSite + "/best_practices/require_helo.html");
  EXPECT_EQ(ip_blacklist_rejection(peer("10.0.0.1\r\nEbad"), nullptr),
            "This system will not accept messages from your location. IP=[10.0.0.1  Ebad]");
}

TEST(CustomReply, SubstitutesTokensIntoOneLine) {
  SessionState state = peer("192.0.2.1");
  EXPECT_EQ(compose_reply(state, 21, std::string("Go away %IP%"), kSystemWord, kBanner.c_str()),
            "550 Go away 192.0.2.1. Protection provided by: " + kBanner + "\r\n");

  state.helo = "mx.example.net";
  state.mail_from = "";
  state.rcpt_to = "bob@example.org";
  state.remote_host = "host.example.net";
  EXPECT_EQ(substitute_tokens("%IP%|%HELO%|%FROM%|%TO%|%RDNS%|%IP%", state),
            "192.0.2.1|mx.example.net||bob@example.org|host.example.net|192.0.2.1");

  // Absent values leave their tokens standing.
  EXPECT_EQ(substitute_tokens("from %FROM% via %RDNS%", peer("192.0.2.1")),
            "from %FROM% via %RDNS%");
  // A value holding a token is not searched again.
  state.helo = "%HELO%%IP%";
  EXPECT_EQ(substitute_tokens("[%HELO%]", state), "[%HELO%%IP%]");
}

TEST(CustomReply, ClientValuesCannotAddSppLines) {
  SessionState state = peer("192.0.2.1");
  state.helo = "evil\r\nE250 ok\nP\x7f\t";
  state.mail_from = "a\nb";
  EXPECT_EQ(substitute_tokens("%HELO%/%FROM%", state), "evil  E250 ok P  /a b");

  const std::optional<std::string> reply =
      compose_reply(state, 21, std::string("No %HELO%"), kSystemWord, kBanner.c_str());
  ASSERT_TRUE(reply);
  EXPECT_EQ(cut_reply_lines(*reply),
            (string_list{"550 No evil  E250 ok P  . Protection provided by: " + kBanner + "\n"}));
}

TEST(ReplyLines, CutOnlyAtCarriageReturnLineFeed) {
  EXPECT_EQ(cut_reply_lines("550 one\r\ntwo\nthree\r\n"),
            (string_list{"550 one\n", "two\nthree\n"}));
  EXPECT_EQ(cut_reply_lines("a\r\nrest"), (string_list{"a\n", "rest"}));
  EXPECT_TRUE(cut_reply_lines("").empty());

  CapturedStream out;
  EXPECT_EQ(spp_print_lines({"550 one\n", "two\nthree\n"}, out.get()), 0);
  EXPECT_EQ(out.text(), "P550 one\nEtwo\nthree\n");
}

int recorded_printer(const string_list& lines, void* arg) {
  *static_cast<string_list*>(arg) = lines;
  return 7;
}

TEST(Respond, ReturnsPrinterResultOrMinusOne) {
  string_list lines;
  EXPECT_EQ(respond(peer("192.0.2.1"), 28, recorded_printer, &lines), 7);
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[1], "550-Reason: This system will not accept messages from you\n");
  EXPECT_EQ(respond(peer("192.0.2.1"), 28, nullptr, nullptr), -1);
  EXPECT_EQ(respond(peer("192.0.2.1"), kReasonCount, recorded_printer, &lines), -1);
}

}  // namespace
}  // namespace korvex

namespace korvex {
namespace {

TEST(CustomReply, CachedMessageReplacesBuiltinReply) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the private IPC namespace of a root run";
  ASSERT_TRUE(rejection_cache_store(21, std::string("Go away %IP%\r\nreally\n"), "/bin/bash",
                                    nullptr));
  SessionState state = empty_state;
  state.ip = "192.0.2.1";
  testing::CapturedStream out;
  EXPECT_EQ(respond(state, 21, spp_print_lines, out.get()), 0);
  EXPECT_TRUE(rejection_cache_store(21, std::nullopt, "/bin/bash", nullptr));
  EXPECT_EQ(out.text(),
            "P550 Go away 192.0.2.1\nEreally\n. Protection provided by: Korvex 1.0.5-4 "
            "(https://www.korvex.example)\n");
}

}  // namespace
}  // namespace korvex
