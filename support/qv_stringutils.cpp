// qv_stringutils - string growing and clean-up routines; see qv_stringutils.h.
#include "support/qv_stringutils.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

#include "support/qv_log.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_stringutils";

bool is_white(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool is_printable_non_blank(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x21 && byte <= 0x7E;
}

}  // namespace

bool qv_strcat(string_slot* slot, const char* text) {
  if (slot == nullptr || text == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  try {
    if (!slot->has_value()) {
      QV_DEBUG(kModule, "destination is NULL - new string");
      slot->emplace();
      QV_DEBUG(kModule, "allocated");
    } else {
      QV_DEBUG(kModule, "destination set - reallocating length");
      (*slot)->reserve((*slot)->size() + std::strlen(text) + 1);
      QV_DEBUG(kModule, "destination length reallocated");
    }
    (*slot)->append(text);
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return false;
  }
  QV_DEBUG(kModule, "string appended [%s]", (*slot)->c_str());
  return true;
}

int qv_ccat(string_slot* slot, char character) {
  if (slot == nullptr || character == '\0') {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  try {
    if (!slot->has_value()) slot->emplace();
    (*slot)->push_back(character);
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return 0;
  }
  QV_DEBUG(kModule, "character appended [%s]", (*slot)->c_str());
  return 1;
}

bool qv_ltoa(string_slot* slot, std::int32_t number) {
  if (slot == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return false;
  }
  QV_DEBUG(kModule, "converting [%ld]", static_cast<long>(number));
  try {
    std::string text = std::to_string(number);
    QV_DEBUG(kModule, "determined buffer size of %d", static_cast<int>(text.size() + 1));
    *slot = std::move(text);
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return false;
  }
  QV_DEBUG(kModule, "converted to %s", (*slot)->c_str());
  return true;
}

int qv_icat(string_slot* slot, std::int32_t number) {
  if (slot == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  string_slot digits;
  if (!qv_ltoa(&digits, number)) return 0;
  return qv_strcat(slot, digits->c_str()) ? 1 : 0;
}

void qv_lower(std::string* text) {
  if (text == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  QV_DEBUG(kModule, "converting from [%s]", text->c_str());
  for (char& c : *text) {
    if (std::isupper(static_cast<unsigned char>(c))) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  QV_DEBUG(kModule, "converted to [%s]", text->c_str());
}

void qv_upper(std::string* text) {
  if (text == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  QV_DEBUG(kModule, "converting from [%s]", text->c_str());
  for (char& c : *text) {
    if (std::islower(static_cast<unsigned char>(c))) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  QV_DEBUG(kModule, "converted to [%s]", text->c_str());
}

void qv_trim(string_slot* slot) {
  if (slot == nullptr || !slot->has_value()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  const std::string& text = **slot;
  if (text.empty()) return;
  std::size_t start = 0;
  while (start < text.size() && is_white(text[start])) ++start;
  // Walk back from the end but never past the start: the start character is always kept,
  // printable or not, unless the string was all white space.
  std::size_t end = text.size();
  while (end > start + 1 && !is_printable_non_blank(text[end - 1])) --end;
  if (start == text.size()) end = start;
  try {
    *slot = text.substr(start, end - start);
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
  }
}

void qv_chomp(string_slot* slot) {
  if (slot == nullptr || !slot->has_value()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  const std::size_t line_end = (*slot)->find_first_of("\r\n");
  if (line_end != std::string::npos) {
    (*slot)->erase(line_end);
    (*slot)->shrink_to_fit();
  }
}

void qv_simplify_whitespace(string_slot* slot) {
  if (slot == nullptr || !slot->has_value()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  if ((*slot)->empty()) {
    QV_DEBUG(kModule, "empty string: nothing to simplify");
    return;
  }
  qv_trim(slot);
  std::string& text = **slot;
  std::size_t out = 0;
  for (std::size_t in = 0; in < text.size();) {
    std::size_t run = in;
    while (run < text.size() && is_white(text[run])) ++run;
    if (run - in >= 2) {
      text[out++] = ' ';
      in = run;
    } else {
      text[out++] = text[in++];
    }
  }
  text.resize(out);
  QV_DEBUG(kModule, "simplified is [%s]", text.c_str());
}

void qv_strip_whitespace(string_slot* slot) {
  if (slot == nullptr || !slot->has_value()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  if ((*slot)->empty()) {
    QV_DEBUG(kModule, "no length to string... no point in going on");
    return;
  }
  qv_trim(slot);
  std::string& text = **slot;
  std::erase_if(text, is_white);
  QV_DEBUG(kModule, "stripped is [%s]", text.c_str());
}

int qv_str_replace(string_slot* slot, const char* pattern, const char* replacement) {
  if (slot == nullptr || !slot->has_value() || (*slot)->empty() || pattern == nullptr ||
      *pattern == '\0' || replacement == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  if (std::strcmp(pattern, replacement) == 0) {
    QV_DEBUG(kModule, "search and replace patterns are the same: nothing to do [%s]",
             (*slot)->c_str());
    return 1;
  }
  const std::string& source = **slot;
  const std::string_view needle(pattern);
  if (source.find(needle) == std::string::npos) {
    QV_DEBUG(kModule, "pattern not found");
    return 1;
  }
  std::string result;
  try {
    for (std::size_t position = 0; position < source.size();) {
      if (source.compare(position, needle.size(), needle) == 0) {
        QV_DEBUG(kModule, "Pattern %s found - replacing with %s", pattern, replacement);
        result.append(replacement);
        position += needle.size();
      } else {
        result.push_back(source[position++]);
      }
    }
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return 1;
  }
  QV_DEBUG(kModule, "source string [%s] is now [%s]", source.c_str(), result.c_str());
  *slot = std::move(result);
  return 1;
}

}  // namespace korvex
