// qv_rfc - address and domain syntax; see qv_rfc.h and qv_rfc_internal.h.
#include "support/qv_rfc.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "support/qv_dns.h"
#include "support/qv_log.h"
#include "support/qv_rfc_internal.h"
#include "support/qv_stringutils.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_rfc";

// The longest domain part an address may carry.
constexpr std::size_t kMaxDomainPart = 254;

constexpr std::string_view kLocalPartSpecials = "!#$%&'*+-/=?^_`{|}~.";

// The classification tests use the ASCII sets whatever the locale.
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_printable(char c) { return c >= 0x20 && c <= 0x7E; }

bool is_domain_character(char c) { return is_letter(c) || is_digit(c) || c == '-' || c == '.'; }

bool is_local_part_character(char c) {
  return is_letter(c) || is_digit(c) || kLocalPartSpecials.find(c) != std::string_view::npos;
}

}  // namespace

bool qv_is_ip(const char* text) {
  if (text == nullptr || *text == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  const std::string_view ip(text);
  if (!is_digit(ip.front()) || !is_digit(ip.back())) {
    QV_DEBUG(kModule, "does not start or end with a number - not an ip");
    return false;
  }
  if (std::count(ip.begin(), ip.end(), '.') != 3) {
    QV_DEBUG(kModule, "[%s] invalid 'dot' count", text);
    return false;
  }
  if (qv_inet_addr(text) == 0) {
    QV_DEBUG(kModule, "[%s] is not an ip address", text);
    return false;
  }
  QV_DEBUG(kModule, "[%s] is an ip", text);
  return true;
}

bool qv_valid_domain(const char* text) {
  const std::string_view domain(text != nullptr ? text : "");
  if (domain.size() < 3 || domain.find('.') == std::string_view::npos || domain.front() == '.' ||
      domain.back() == '.') {
    QV_DEBUG(kModule,
             "domain [%s] does not meet minimum criteria for length, number of dots, first "
             "character, or last character",
             text != nullptr ? text : "(null)");
    return false;
  }
  if (is_digit(domain.front()) && qv_is_ip(text)) {
    QV_DEBUG(kModule, "[%s] is an IP address", text);
    return false;
  }
  if (domain.find("..") != std::string_view::npos) {
    QV_DEBUG(kModule, "domain [%s] contains consecutive '.' characters", text);
    return false;
  }
  if (!std::all_of(domain.begin(), domain.end(), is_domain_character)) {
    QV_DEBUG(kModule, "domain [%s] contains invalid characters", text);
    return false;
  }
  return true;
}

bool qv_valid_email_address(const char* text) {
  if (text == nullptr || *text == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  const std::string_view address(text);
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) {
    QV_DEBUG(kModule, "address [%s] missing '@' character", text);
    return false;
  }
  if (at == 0) {
    QV_DEBUG(kModule, "address [%s] missing user portion", text);
    return false;
  }
  const char* domain = text + at + 1;
  if (address.size() - at - 1 > kMaxDomainPart) {
    QV_DEBUG(kModule, "domain portion is greater than RFC specifications permit");
    return false;
  }
  if (*domain == '\0' || !qv_valid_domain(domain)) {
    QV_DEBUG(kModule, "invalid domain part for address [%s]", text);
    return false;
  }
  const std::string_view local_part = address.substr(0, at);
  if (local_part.front() == '.' || local_part.back() == '.' ||
      address.find("..") != std::string_view::npos) {
    QV_DEBUG(kModule, "address [%s] violates RFC pattern specifications", text);
    return false;
  }
  if (!std::all_of(local_part.begin(), local_part.end(), is_local_part_character)) {
    QV_DEBUG(kModule, "address [%s] contains invalid characters", text);
    return false;
  }
  return true;
}

std::optional<std::size_t> __qv_parse_quotes(const std::string& text, std::size_t at) {
  if (at >= text.size() || text[at] != '"') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return std::nullopt;
  }
  for (std::size_t position = at + 1; position < text.size(); ++position) {
    if (!is_printable(text[position])) {
      QV_DEBUG(kModule, "Found non printable character");
      return std::nullopt;
    }
    if (text[position] == '\\') {
      ++position;  // the escaped character, a quote or a backslash alike, has no say
      if (position < text.size() && !is_printable(text[position])) {
        QV_DEBUG(kModule, "Found non printable character");
        return std::nullopt;
      }
      continue;
    }
    if (text[position] == '"') {
      QV_DEBUG(kModule, "found end of quote marker: incrementing");
      if (position + 1 < text.size()) return position + 1;
      break;
    }
  }
  QV_DEBUG(kModule, "found illegal quotation at end of address");
  return std::nullopt;
}

bool __qv_parse_comment(std::string* text, std::size_t at, std::size_t* resume) {
  if (text == nullptr || resume == nullptr || at >= text->size() || (*text)[at] != '(') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  // Nested comments lie inside the outer one and go with it, so counting the depth is
  // enough to find where the outer comment ends.
  std::size_t depth = 1;
  for (std::size_t position = at + 1; position < text->size(); ++position) {
    const char character = (*text)[position];
    if (character == '\\') {
      QV_DEBUG(kModule, "found escape character, next character is exempt");
      ++position;
    } else if (character == '(') {
      QV_DEBUG(kModule, "Found nested comment.. re looping");
      ++depth;
    } else if (character == ')' && --depth == 0) {
      text->erase(at, position - at + 1);
      *resume = at;
      return true;
    }
  }
  return false;
}

bool __qv_parse_rfc_address(const std::string& text, std::size_t at, std::size_t* after) {
  if (after == nullptr || at >= text.size() || text[at] != '<') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  const std::size_t close = text.find('>', at);
  if (close == std::string::npos) {
    QV_DEBUG(kModule, "missing closing '>' for rfc address");
    return false;
  }
  if (close == at + 1) {
    QV_DEBUG(kModule, "RFC address portion detected as empty. Passing as bounce");
    *after = close + 1;
    return true;
  }
  string_slot address;
  try {
    address = text.substr(at + 1, close - at - 1);
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    QV_DEBUG(kModule, "out of memory allocating copy of address. Passing back true for now.");
    *after = close + 1;
    return true;
  }
  qv_trim(&address);
  if (!qv_valid_email_address(address->c_str())) return false;
  *after = close + 1;
  return true;
}

namespace {

// The walk's reasons are reported in the name of the routine that judges the header.
#define HEADER_DEBUG(...) \
  ::korvex::qv_log_debug("qv_rfc822_email_address", kModule, __LINE__, __VA_ARGS__)

// What the walk over an address header has met so far.
struct header_walk {
  bool quoted_phrase = false;
  bool bracket_address = false;
  bool unquoted_at = false;
};

// Judges one character of the header at position, moving position past what it consumed.
// 1 or 0 end the walk with that verdict; -1 lets it go on.
int judge_header_character(std::string* copy, std::size_t* position, header_walk* walk) {
  const char character = (*copy)[*position];
  if (!is_printable(character)) {
    HEADER_DEBUG("non-printable character found in address");
    return 0;
  }
  switch (character) {
    case '"': {
      if (walk->bracket_address) {
        HEADER_DEBUG("found quotes after RFC address");
        return 0;
      }
      const std::optional<std::size_t> after = __qv_parse_quotes(*copy, *position);
      if (!after) {
        HEADER_DEBUG("invalid quoted phrase");
        return 0;
      }
      walk->quoted_phrase = true;
      *position = *after;
      return -1;
    }
    case '(':
      if (!__qv_parse_comment(copy, *position, position)) {
        HEADER_DEBUG("comment parse failed");
        return 0;
      }
      return -1;
    case '<':
      if (walk->bracket_address) {
        HEADER_DEBUG("RFC address already found once.. we won't accept another");
        return 0;
      }
      if (!__qv_parse_rfc_address(*copy, *position, position)) {
        HEADER_DEBUG("RFC address parse failed");
        return 0;
      }
      walk->bracket_address = true;
      return -1;
    case ',':
    case ':':
    case ';':
    case '[':
    case ']':
    case '\\':
      HEADER_DEBUG("Invalid character %c found in raw address", character);
      return 0;
    case '@':
      walk->unquoted_at = true;
      break;
    default:
      break;
  }
  ++*position;
  return -1;
}

}  // namespace

#undef HEADER_DEBUG

int qv_rfc822_email_address(const char* text, int* bracketed) {
  if (text == nullptr || *text == '\0') {
    QV_DEBUG(kModule,
             "argument is empty or NULL, returning true in the event this is a Mailer-Daemon "
             "bounce");
    return 1;
  }
  string_slot copy;
  try {
    copy = text;
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    QV_DEBUG(kModule,
             "out of memory allocating address copy - returning true as this check can't be run");
    return 1;
  }
  header_walk walk;
  std::size_t position = 0;
  while (position < copy->size()) {
    const int verdict = judge_header_character(&*copy, &position, &walk);
    if (verdict >= 0) return verdict;
  }
  if (!walk.quoted_phrase && !walk.bracket_address) {
    qv_trim(&copy);
    return qv_valid_email_address(copy->c_str()) ? 1 : 0;
  }
  if (!walk.bracket_address) {
    QV_DEBUG(kModule, "Quotes require RFC braces");
    return 0;
  }
  if (walk.unquoted_at) {
    QV_DEBUG(kModule, "Found unquoted '@' symbol outside of email address");
    return 0;
  }
  if (bracketed != nullptr) *bracketed = 1;
  return 1;
}

namespace {

// Where the address starting at position ends: the next comma outside quoted phrases and
// (nested) comments, or the end of the text.
std::size_t address_end(std::string_view text, std::size_t position) {
  bool in_quotes = false;
  std::size_t comment_depth = 0;
  for (; position < text.size(); ++position) {
    const char character = text[position];
    if ((in_quotes || comment_depth > 0) && character == '\\') {
      ++position;
    } else if (in_quotes) {
      in_quotes = character != '"';
    } else if (character == '(') {
      ++comment_depth;
    } else if (comment_depth > 0) {
      if (character == ')') --comment_depth;
    } else if (character == '"') {
      in_quotes = true;
    } else if (character == ',') {
      break;
    }
  }
  return std::min(position, text.size());
}

// Appends piece, white space simplified, unless nothing is left of it; false without memory.
bool append_address(qv_list* list, std::string_view piece) {
  string_slot address;
  try {
    address = std::string(piece);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!address->empty()) qv_simplify_whitespace(&address);
  std::string& simplified = *address;
  if (simplified.empty()) return true;
  const std::size_t size = simplified.size() + 1;
  return qv_append_list_entry(list, simplified.data(), size, 1) > 0;
}

}  // namespace

qv_list qv_split_addresses(const char* text) {
  qv_list addresses;
  if (text == nullptr || *text == '\0') return addresses;
  const std::string_view header(text);
  std::size_t start = 0;
  while (start <= header.size()) {
    const std::size_t end = address_end(header, start);
    if (!append_address(&addresses, header.substr(start, end - start))) {
      QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
      qv_destroy_list(&addresses, nullptr);
      return addresses;
    }
    start = end + 1;
  }
  return addresses;
}

}  // namespace korvex
