// string_list - ordered and appending insertion for the suite's text lists.
#include "support/string_list.h"

#include <algorithm>
#include <new>

namespace korvex {

int string_list_insert(string_list* list, std::string text, int mode) {
  if (list == nullptr) return -1;
  try {
    if (mode != kStringListOrdered) {
      list->push_back(std::move(text));
    } else {
      // Before the first text that is not smaller, so equal texts go in front of the
      // existing ones; a linear walk keeps that rule even on a list that was appended to.
      auto position = std::find_if(list->begin(), list->end(),
                                   [&text](const std::string& existing) { return text <= existing; });
      list->insert(position, std::move(text));
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int string_list_append(string_list* list, std::string text) {
  return string_list_insert(list, std::move(text), kStringListAppend);
}

void string_list_free_nodes(string_list* list, std::size_t first) {
  if (list == nullptr || first >= list->size()) return;
  list->erase(list->begin() + static_cast<std::ptrdiff_t>(first), list->end());
}

void string_list_release(string_list* list) {
  if (list != nullptr) list->clear();
}

void string_list_destroy(string_list* list) {
  if (list != nullptr) string_list{}.swap(*list);
}

}  // namespace korvex
