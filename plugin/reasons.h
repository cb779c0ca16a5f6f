// reasons - why a message was refused and how the refusal is told to the SMTP client.
// Every ReasonId has a name, an information address on the vendor's web site and a
// rejection text; a refusal is answered with the administrator's own text for the reason
// (tokens filled from the session) or with the built-in six-line 550 reply, printed as
// qmail-spp "P" and "E" lines.
//
// Exports: ReasonId, kReasonCount, the named reason ids the engine selects, reason_name,
// reason_builder, url_funcs, notice_funcs and the <reason>_url / <reason>_rejection
// builders, kSystemWord, reply_banner, substitute_tokens, compose_reply, build_reply,
// cut_reply_lines, line_printer, respond, spp_print_lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "plugin/load_spp_env.h"
#include "support/string_list.h"

namespace korvex {

// Index into the reason table; also the key of a rule's custom message in the cache.
using ReasonId = std::int32_t;
inline constexpr ReasonId kReasonCount = 47;

// Reasons the check engine gives for the two black lists.
inline constexpr ReasonId kReasonFromBlacklist = 28;
inline constexpr ReasonId kReasonIpBlacklist = 40;

// Word naming the receiving party in the reply texts.
inline constexpr const char* kSystemWord = "system";

// Reason table: id, name, information-address form (B best practices, U user page,
// R reputation page), rejection text and what fills its blanks.
#define KORVEX_REASON_TABLE(X)                                                                 \
  X(0, spam_check, B, GENERIC)                                                                 \
  X(1, smtp_blocking, B, GENERIC)                                                              \
  X(2, valid_from_domain, B,                                                                   \
    WORD("This %s will not accept this message, based on the MAIL FROM address provided"))    \
  X(3, spam_check_level, B, GENERIC)                                                           \
  X(4, block_all_mail, U, WORD("This %s only accepts whitelisted mail"))                       \
  X(5, loaded_template, B, GENERIC)                                                            \
  X(6, block_non_printable, B, GENERIC)                                                        \
  X(7, phish_protection, B, GENERIC)                                                           \
  X(8, required_header_list, B, GENERIC)                                                       \
  X(9, subject_whitelist, B, GENERIC)                                                          \
  X(10, subject_blacklist, B, GENERIC)                                                         \
  X(11, header_from_whitelist, B, GENERIC)                                                     \
  X(12, header_from_blacklist, B, GENERIC)                                                     \
  X(13, spamassassin_score, B, GENERIC)                                                        \
  X(14, all_global_rules, B, GENERIC)                                                          \
  X(15, smtp_check, B, GENERIC)                                                                \
  X(16, delivery_check, B, GENERIC)                                                            \
  X(17, require_full_addr, B,                                                                  \
    FIXED("Invalid Recipient! You did not specify a complete email address to send to."))      \
  X(18, block_mail_from_self, B,                                                               \
    WORD("The %s does not allow messages that appear to be from themselves (possible "         \
         "forgery)"))                                                                          \
  X(19, block_ip_in_addr, B,                                                                   \
    WORD("The %s does not allow messages that use IP Addresses instead of domain names"))      \
  X(20, require_me_in_dest, B, GENERIC)                                                        \
  X(21, require_helo, B,                                                                       \
    FIXED("Messages from your location are rejected, missing identifier (HELO). Contact your " \
          "email administrator"))                                                              \
  X(22, valid_helo_domain, B,                                                                  \
    FIXED("Messages from your location are rejected, bad or missing identifier (HELO). "       \
          "Contact your email administrator"))                                                 \
  X(23, resolve_helo_domain, B,                                                                \
    FIXED("Messages from your location are rejected, identification (HELO) has no matching "   \
          "DNS entry."))                                                                       \
  X(24, mail_from_strict_addr_parse, B,                                                        \
    WORD("This %s will not accept this message, bad or malformed address specified"))          \
  X(25, check_ip_reverse_dns, B,                                                               \
    WORD_IP("This %s will not accept messages from servers/devices with no reverse DNS. "      \
            "IP=[%s]"))                                                                        \
  X(26, use_global_from_blacklist, B, GENERIC)                                                 \
  X(27, use_global_from_whitelist, B, GENERIC)                                                 \
  X(28, from_blacklist, U, WORD("This %s will not accept messages from you"))                  \
  X(29, from_whitelist, B, GENERIC)                                                            \
  X(30, helo_blacklist, U, WORD("This %s will not accept messages from your server"))          \
  X(31, helo_whitelist, B, GENERIC)                                                            \
  X(32, use_global_helo_blacklist, B, GENERIC)                                                 \
  X(33, use_global_helo_whitelist, B, GENERIC)                                                 \
  X(34, use_global_country_blacklist, B, GENERIC)                                              \
  X(35, use_global_country_whitelist, B, GENERIC)                                              \
  X(36, country_blacklist, U, WORD("This %s will not accept messages from your area"))         \
  X(37, country_whitelist, B, GENERIC)                                                         \
  X(38, use_global_ip_blacklist, B, GENERIC)                                                   \
  X(39, use_global_ip_whitelist, B, GENERIC)                                                   \
  X(40, ip_blacklist, U,                                                                       \
    WORD_IP("This %s will not accept messages from your location. IP=[%s]"))                   \
  X(41, ip_whitelist, B, GENERIC)                                                              \
  X(42, check_dynamic_reverse_dns, B,                                                          \
    IP("Your IP address [%s] appears not to be an email server."))                             \
  X(43, check_reverse_dns_list, B,                                                             \
    WORD_IP("Your hostname matches a pattern which was abused in the past, and rejected by "   \
            "the %s. IP=[%s]"))                                                                \
  X(44, block_lists, R,                                                                        \
    WORD_IP("This system uses TARN to check your IP address reputation, and was rejected by "  \
            "the %s. IP=[%s]"))                                                                \
  X(45, use_global_block_lists, B, GENERIC)                                                    \
  X(46, known_sender_forgery, B, GENERIC)

// A builder of one reason's address or text; system_word null means "system". Returns
// nothing when memory runs out (logged through state.log when set).
using reason_builder = std::optional<std::string> (*)(const SessionState& state,
                                                      const char* system_word);

#define KORVEX_DECLARE_REASON_BUILDERS(id, name, address, text)                        \
  std::optional<std::string> name##_url(const SessionState& state, const char* system_word); \
  std::optional<std::string> name##_rejection(const SessionState& state, const char* system_word);
KORVEX_REASON_TABLE(KORVEX_DECLARE_REASON_BUILDERS)
#undef KORVEX_DECLARE_REASON_BUILDERS

// Address and text builders of every reason, indexed by ReasonId.
extern const reason_builder url_funcs[kReasonCount];
extern const reason_builder notice_funcs[kReasonCount];

// reason_name - the name of a reason, or null for an id outside the table.
const char* reason_name(ReasonId id);

// reply_banner - "Korvex <version> (<vendor web address>)".
const std::string& reply_banner();

// substitute_tokens - fill %IP% %HELO% %FROM% %TO% %RDNS% of an administrator's message
// from the session. Client values enter with their control bytes blanked.
std::string substitute_tokens(std::string message, const SessionState& state);

// compose_reply - the reply for a reason, given the custom message found for it (if any).
std::optional<std::string> compose_reply(const SessionState& state, ReasonId id,
                                         const std::optional<std::string>& custom_message,
                                         const char* system_word, const char* banner);

// build_reply - the reply for a reason, with the administrator's cached text when there is one.
std::optional<std::string> build_reply(const SessionState& state, ReasonId id,
                                       const char* system_word, const char* banner);

// cut_reply_lines - split a reply at each CR LF; every line ends in one line feed.
string_list cut_reply_lines(const std::string& reply);

// A printer of reply lines; returns its own status.
using line_printer = int (*)(const string_list& lines, void* printer_arg);

// respond - build the reply for a reason and hand its lines to the printer; the printer's
// result, or -1 when there is no printer or no reply.
int respond(const SessionState& state, ReasonId id, line_printer printer, void* printer_arg);

// spp_print_lines - write the lines as qmail-spp "P" lines and a final "E" line to the
// stream given as printer_arg (standard output when null); returns 0.
int spp_print_lines(const string_list& lines, void* printer_arg);

}  // namespace korvex
