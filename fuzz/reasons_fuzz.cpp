// Fuzz target: the refusal reply - token substitution of an administrator's message with
// client-supplied session values, the built-in reply of every reason, and the cutting of
// a reply into qmail-spp lines. Input: message, ip, helo, sender, recipient, reverse name
// separated by NUL; a piece that is a single 0x01 byte stands for an absent value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "plugin/load_spp_env.h"
#include "plugin/reasons.h"
#include "support/qv_log.h"
#include "support/string_list.h"

namespace {

std::optional<std::string> field(const std::vector<std::string>& pieces, std::size_t i) {
  if (i >= pieces.size() || pieces[i] == "\x01") return std::nullopt;
  return pieces[i];
}

// check_lines - the lines put together again are the text with each CR LF turned into a
// line feed; in a text ending in CR LF (every built reply) each line ends in a line feed.
void check_lines(const std::string& text, const korvex::string_list& lines) {
  std::string expected;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\r\n") == 0) continue;
    expected.push_back(text[i]);
  }
  std::string joined;
  const bool whole_lines = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
  for (const std::string& line : lines) {
    if (whole_lines && (line.empty() || line.back() != '\n')) __builtin_trap();
    joined += line;
  }
  if (joined != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvex::qv_set_logger(korvex_fuzz::quiet_log);
  const std::vector<std::string> pieces = korvex_fuzz::split_at_nul(data, size);
  korvex::SessionState state = korvex::empty_state;
  state.ip = field(pieces, 1);
  state.helo = field(pieces, 2);
  state.mail_from = field(pieces, 3);
  state.rcpt_to = field(pieces, 4);
  state.remote_host = field(pieces, 5);
  state.log = korvex_fuzz::quiet_log;

  const std::string message = pieces[0];
  (void)korvex::substitute_tokens(message, state);
  const korvex::ReasonId id =
      size > 0 ? static_cast<korvex::ReasonId>(data[size - 1] % (korvex::kReasonCount + 2)) - 1
               : 0;
  for (const std::optional<std::string>& custom :
       {std::optional<std::string>(message), std::optional<std::string>()}) {
    const std::optional<std::string> reply = korvex::compose_reply(
        state, id, custom, korvex::kSystemWord, korvex::reply_banner().c_str());
    if (!reply) continue;
    if (reply->size() < 2 || reply->compare(reply->size() - 2, 2, "\r\n") != 0) __builtin_trap();
    const korvex::string_list lines = korvex::cut_reply_lines(*reply);
    check_lines(*reply, lines);
    (void)korvex::spp_print_lines(lines, korvex_fuzz::null_stream());
  }
  check_lines(message, korvex::cut_reply_lines(message));
  return 0;
}
