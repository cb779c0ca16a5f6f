// plesk_replies - what whole-program tests of korvex-plesk compare its output with: the
// qmail-spp replies it gives, its syslog lines as text, and the bytes of a rejection-cache
// segment's length word.
//
// Exports: kBanner, builtin_reply, blocked_ip_reply, custom_reply, described, le32
// (and whole_match.h, which its users compare with).
#pragma once


#include <cstdint>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"
#include "tests/testkit/whole_match.h"

namespace korvex::testing {

inline const std::string kBanner = "Korvex 1.0.5-4 (https://www.korvex.example)";

// builtin_reply - the built-in refusal for a reason, pointing to the page at address.
inline std::string builtin_reply(const std::string& reason, const std::string& address) {
  return "P550-Your message was rejected by this system and was not delivered.\n"
         "P550-Reason: " +
         reason + "\nP550-Protection provided by: " + kBanner +
         "\nP550-For more information, please visit the URL:\nP550-" + address +
         "\nE550 or contact your ISP or mail server operator.\n";
}

// blocked_ip_reply - the built-in refusal of a peer on blocked_ips.
inline std::string blocked_ip_reply(const std::string& ip) {
  return builtin_reply("This system will not accept messages from your location. IP=[" + ip + "]",
                       "https://www.korvex.example/empowering_the_user");
}

// custom_reply - the refusal carrying an administrator's own text.
inline std::string custom_reply(const std::string& message) {
  return "E550 " + message + ". Protection provided by: " + kBanner + "\n";
}

// described - syslog lines as "facility.priority identity: text".
inline std::vector<std::string> described(const std::vector<SyslogLine>& lines) {
  std::vector<std::string> result;
  for (const SyslogLine& line : lines) result.push_back(line.describe());
  return result;
}

// le32 - a rejection segment's length word as the tool stores it.
inline std::string le32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
  return bytes;
}

}  // namespace korvex::testing
