// reasons - the reason table, the reply texts built from it and the qmail-spp printer.
// A refusal is answered either with the administrator's own message for the reason (one
// 550 line) or with the built-in six-line 550 reply. See reasons.h.
#include "plugin/reasons.h"

#include <syslog.h>

#include <array>
#include <cstdio>
#include <new>
#include <string_view>
#include <utility>

#include "korvex_version.h"
#include "plugin/vendor.h"
#include "rejmsg/rejection_cache.h"
#include "rejmsg/rejection_rebuild.h"

namespace korvex {

namespace {

// The texts say "polices": administrators' filters and support notes match the wording.
constexpr const char* kGenericText =
    "Your message does not conform to our acceptance polices and was rejected";

enum class AddressForm { kBestPractices, kUserPage, kReputationPage };

// Which session values fill the blanks of a rejection text, in order.
enum class TextFill { kNone, kWord, kWordIp, kIp };

struct ReasonText {
  const char* format;
  TextFill fill;
};

constexpr ReasonText fixed_text(const char* format) { return {format, TextFill::kNone}; }
constexpr ReasonText word_text(const char* format) { return {format, TextFill::kWord}; }
constexpr ReasonText word_ip_text(const char* format) { return {format, TextFill::kWordIp}; }
constexpr ReasonText ip_text(const char* format) { return {format, TextFill::kIp}; }

const char* word_or_default(const char* system_word) {
  return system_word != nullptr ? system_word : kSystemWord;
}

// Formats one of the fixed texts; its blanks are only ever filled with texts.
template <typename... Texts>
std::string format_text(const char* format, const Texts&... texts) {
  const int length = std::snprintf(nullptr, 0, format, texts.c_str()...);
  if (length <= 0) return {};
  std::string result(static_cast<std::size_t>(length), '\0');
  (void)std::snprintf(result.data(), result.size() + 1, format, texts.c_str()...);
  return result;
}

std::string vendor_url(const std::string& path) {
  return std::string("https://") + kVendorWebHost + path;
}

std::string address_text(AddressForm form, const char* name) {
  switch (form) {
    case AddressForm::kUserPage:
      return vendor_url("/empowering_the_user");
    case AddressForm::kReputationPage:
      return vendor_url("/power_of_ip_reputation.html");
    case AddressForm::kBestPractices:
      break;
  }
  return vendor_url(format_text("/best_practices/%s.html", std::string(name)));
}

std::string rejection_text(ReasonText text, const SessionState& state, const char* system_word) {
  const std::string word = word_or_default(system_word);
  // The peer's address is a client value: it must not break the reply into extra lines.
  const std::string ip = blank_control_bytes(state.ip.value_or(""));
  switch (text.fill) {
    case TextFill::kWord:
      return format_text(text.format, word);
    case TextFill::kWordIp:
      return format_text(text.format, word, ip);
    case TextFill::kIp:
      return format_text(text.format, ip);
    case TextFill::kNone:
      break;
  }
  return text.format;
}

// Runs a builder step, turning exhaustion of memory into the builder's log line and no text.
template <typename Build>
std::optional<std::string> guarded_build(const SessionState& state, const char* builder,
                                         Build build) {
  try {
    return build();
  } catch (const std::bad_alloc&) {
    if (state.log != nullptr) state.log(LOG_ERR, "%s(): asprintf() failed, out of memory?", builder);
    return std::nullopt;
  }
}

// Replaces every occurrence of token, resuming the search after each inserted value so that
// a value holding the token itself is left as it is and the walk always ends.
void replace_token(std::string* text, const std::string& token, const std::string& value) {
  std::size_t position = text->find(token);
  while (position != std::string::npos) {
    text->replace(position, token.size(), value);
    position = text->find(token, position + value.size());
  }
}

}  // namespace

#define B AddressForm::kBestPractices
#define U AddressForm::kUserPage
#define R AddressForm::kReputationPage
#define GENERIC fixed_text(kGenericText)
#define FIXED(text) fixed_text(text)
#define WORD(text) word_text(text)
#define WORD_IP(text) word_ip_text(text)
#define IP(text) ip_text(text)

#define KORVEX_DEFINE_REASON_BUILDERS(id, name, address, text)                                 \
  std::optional<std::string> name##_url(const SessionState& state, const char*) {              \
    return guarded_build(state, __func__, [] { return address_text(address, #name); });        \
  }                                                                                            \
  std::optional<std::string> name##_rejection(const SessionState& state,                       \
                                              const char* system_word) {                       \
    return guarded_build(state, __func__,                                                      \
                         [&] { return rejection_text(text, state, system_word); });            \
  }
KORVEX_REASON_TABLE(KORVEX_DEFINE_REASON_BUILDERS)
#undef KORVEX_DEFINE_REASON_BUILDERS

#define KORVEX_URL_BUILDER(id, name, address, text) name##_url,
const reason_builder url_funcs[kReasonCount] = {KORVEX_REASON_TABLE(KORVEX_URL_BUILDER)};
#undef KORVEX_URL_BUILDER

#define KORVEX_NOTICE_BUILDER(id, name, address, text) name##_rejection,
const reason_builder notice_funcs[kReasonCount] = {KORVEX_REASON_TABLE(KORVEX_NOTICE_BUILDER)};
#undef KORVEX_NOTICE_BUILDER

namespace {

#define KORVEX_REASON_NAME(id, name, address, text) #name,
const std::array<std::string_view, kReasonCount> kReasonNames = {
    KORVEX_REASON_TABLE(KORVEX_REASON_NAME)};
#undef KORVEX_REASON_NAME

}  // namespace

#undef B
#undef U
#undef R
#undef GENERIC
#undef FIXED
#undef WORD
#undef WORD_IP
#undef IP

const char* reason_name(ReasonId id) {
  if (id < 0 || id >= kReasonCount) return nullptr;
  return kReasonNames[static_cast<std::size_t>(id)].data();
}

const std::string& reply_banner() {
  static const std::string banner = "Korvex " KORVEX_VERSION " (" + vendor_url("") + ")";
  return banner;
}

std::string substitute_tokens(std::string message, const SessionState& state) {
  const std::pair<const char*, const std::optional<std::string>*> tokens[] = {
      {"%IP%", &state.ip},       {"%HELO%", &state.helo},         {"%FROM%", &state.mail_from},
      {"%TO%", &state.rcpt_to},  {"%RDNS%", &state.remote_host},
  };
  for (const auto& [token, field] : tokens) {
    // An absent value leaves its token standing; an empty one removes it.
    if (*field) replace_token(&message, token, blank_control_bytes(**field));
  }
  return message;
}

std::optional<std::string> compose_reply(const SessionState& state, ReasonId id,
                                         const std::optional<std::string>& custom_message,
                                         const char* system_word, const char* banner) {
  const std::string banner_text = banner != nullptr ? banner : "";
  try {
    if (custom_message) {
      return format_text("550 %s. Protection provided by: %s\r\n",
                         substitute_tokens(*custom_message, state), banner_text);
    }
    if (id < 0 || id >= kReasonCount) return std::nullopt;
    const auto index = static_cast<std::size_t>(id);
    const std::optional<std::string> address = url_funcs[index](state, system_word);
    const std::optional<std::string> text = notice_funcs[index](state, system_word);
    return format_text(
        "550-Your message was rejected by this %s and was not delivered.\r\n"
        "550-Reason: %s\r\n"
        "550-Protection provided by: %s\r\n"
        "550-For more information, please visit the URL:\r\n"
        "550-%s\r\n"
        "550 or contact your ISP or mail server operator.\r\n",
        std::string(word_or_default(system_word)), text.value_or(""), banner_text,
        address.value_or(""));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::string> build_reply(const SessionState& state, ReasonId id,
                                       const char* system_word, const char* banner) {
  std::optional<std::string> custom = rejection_cache_fetch(id);
  if (!custom) {
    // The cache is emptied by a reboot or an ipcrm, and its keys change with the key file:
    // the administrator's text still stands in its file.
    std::string path;
    custom = rejection_file_message(id, kRejectionDirectory, &path);
    if (custom) {
      ::syslog(LOG_WARNING,
               "Custom rejection text %s is not in the cache; run korvex-rejmsg -i to load it",
               path.c_str());
    }
  }
  return compose_reply(state, id, custom, system_word, banner);
}

string_list cut_reply_lines(const std::string& reply) {
  string_list lines;
  std::size_t start = 0;
  std::size_t pair = reply.find("\r\n");
  while (pair != std::string::npos) {
    lines.push_back(reply.substr(start, pair - start) + "\n");
    start = pair + 2;
    pair = reply.find("\r\n", start);
  }
  if (start < reply.size()) lines.push_back(reply.substr(start));
  return lines;
}

int respond(const SessionState& state, ReasonId id, line_printer printer, void* printer_arg) {
  if (printer == nullptr) return -1;
  try {
    const std::optional<std::string> reply = build_reply(state, id, kSystemWord,
                                                         reply_banner().c_str());
    if (!reply) return -1;
    const string_list lines = cut_reply_lines(*reply);
    if (lines.empty()) return -1;
    return printer(lines, printer_arg);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int spp_print_lines(const string_list& lines, void* printer_arg) {
  std::FILE* out = printer_arg != nullptr ? static_cast<std::FILE*>(printer_arg) : stdout;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const char* command = i + 1 < lines.size() ? "P" : "E";
    (void)std::fprintf(out, "%s%s", command, lines[i].c_str());
  }
  return 0;
}

}  // namespace korvex
