// smtp_auth - accounts and the AUTH PLAIN exchange. See smtp_auth.h.
#include "spp/smtp_auth.h"

#include <array>

#include "spp/text_file.h"

namespace korvex {

namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// base64_value - the six bits a character stands for, or -1.
int base64_value(char c) {
  const auto at = kBase64Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// equal_secrets - compare without stopping at the first difference, so the time taken
// does not tell how much of a guessed password was right.
bool equal_secrets(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace

bool parse_credentials(std::string_view text, credentials* accounts, std::string* error) {
  accounts->clear();
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto colon = line.find(':');
    const std::string where = "line " + std::to_string(number) + ": ";
    if (colon == std::string_view::npos || colon == 0) {
      *error = where + "expected user:password";
      return false;
    }
    const auto [entry, added] =
        accounts->emplace(std::string(line.substr(0, colon)), std::string(line.substr(colon + 1)));
    if (!added) {
      *error = where + "user " + entry->first + " given twice";
      return false;
    }
  }
  return true;
}

bool load_credentials(const std::string& path, credentials* accounts, std::string* error) {
  std::string text;
  if (!read_text_file(path, &text, error)) return false;
  if (parse_credentials(text, accounts, error)) return true;
  *error = path + ": " + *error;
  return false;
}

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::array<int, 4> values{};
    int padding = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text[group + i];
      // Padding may only close the last group, and only its last one or two places.
      if (c == '=' && last && i >= 2) {
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;
      values[i] = base64_value(c);
      if (values[i] < 0) return std::nullopt;
    }
    const unsigned bits = (static_cast<unsigned>(values[0]) << 18) |
                          (static_cast<unsigned>(values[1]) << 12) |
                          (static_cast<unsigned>(values[2]) << 6) | static_cast<unsigned>(values[3]);
    bytes.push_back(static_cast<char>((bits >> 16) & 0xff));
    if (padding < 2) bytes.push_back(static_cast<char>((bits >> 8) & 0xff));
    if (padding < 1) bytes.push_back(static_cast<char>(bits & 0xff));
  }
  return bytes;
}

auth_check check_auth_plain(std::string_view response, const credentials& accounts,
                            std::string* user) {
  const std::optional<std::string> decoded = decode_base64(response);
  if (!decoded) return auth_check::malformed;
  const std::string_view fields(*decoded);
  const auto first = fields.find('\0');
  const auto second = first == std::string_view::npos ? first : fields.find('\0', first + 1);
  if (second == std::string_view::npos || fields.find('\0', second + 1) != std::string_view::npos) {
    return auth_check::malformed;
  }
  const std::string_view authorization = fields.substr(0, first);
  const std::string_view name = fields.substr(first + 1, second - first - 1);
  const std::string_view password = fields.substr(second + 1);
  if (!authorization.empty() && authorization != name) return auth_check::rejected;
  const auto account = accounts.find(name);
  if (account == accounts.end() || !equal_secrets(account->second, password)) {
    return auth_check::rejected;
  }
  *user = name;
  return auth_check::accepted;
}

}  // namespace korvex
