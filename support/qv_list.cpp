// qv_list - the data list of sized blocks; see qv_list.h.
#include "support/qv_list.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "support/qv_log.h"

namespace korvex {

namespace {

constexpr const char* kModule = "qv_list";

// Only the low byte of the copy flag counts, as callers pass char-sized flags.
bool copy_requested(int copy) { return (copy & 0xFF) != 0; }

// Frees a block the list holds for someone else; blocks the list owns go with their entry.
void release_data(qv_list_entry& entry, qv_release_function release) {
  if (release != nullptr && entry.own_copy == nullptr) release(entry.data);
}

// Position of entry in list, or end() when it is not there.
qv_list::iterator find_entry(qv_list& list, const qv_list_entry* entry) {
  return std::find_if(list.begin(), list.end(),
                      [entry](const std::unique_ptr<qv_list_entry>& candidate) {
                        return candidate.get() == entry;
                      });
}

}  // namespace

int qv_append_list_entry(qv_list* list, void* data, std::size_t size, int copy) {
  if (data == nullptr || list == nullptr || size == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return -1;
  }
  std::unique_ptr<qv_list_entry> entry(new (std::nothrow) qv_list_entry);
  if (entry == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return -2;
  }
  QV_DEBUG(kModule, "new member created");
  if (copy_requested(copy)) {
    QV_DEBUG(kModule, "request for member data copy");
    entry->own_copy.reset(new (std::nothrow) std::byte[size]());
    if (entry->own_copy == nullptr) {
      QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
      return -3;
    }
    std::memcpy(entry->own_copy.get(), data, size);
    entry->data = entry->own_copy.get();
    QV_DEBUG(kModule, "member data copied");
  } else {
    entry->data = data;
    QV_DEBUG(kModule, "member data assigned - no copy made");
  }
  entry->size = size;
  if (list->empty()) {
    QV_DEBUG(kModule, "destination list is NULL - new list");
  } else {
    QV_DEBUG(kModule, "destination list set - appending");
  }
  try {
    list->push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
    return -2;
  }
  const int count = static_cast<int>(list->size());
  if (count > 1) QV_DEBUG(kModule, "appended");
  QV_DEBUG(kModule, "total list items %d", count);
  return count;
}

void qv_destroy_list(qv_list* list, qv_release_function release) {
  if (list == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return;
  }
  if (list->empty()) {
    QV_DEBUG(kModule, "no list - nothing to do.");
    return;
  }
  for (auto& entry : *list) {
    if (entry->data != nullptr) {
      QV_DEBUG(kModule, "freeing member data");
      release_data(*entry, release);
    }
    entry.reset();
    QV_DEBUG(kModule, "member freed");
  }
  list->clear();
}

int qv_num_elements(const qv_list& list) {
  if (list.empty()) {
    QV_DEBUG(kModule, "nothing to count returning 0");
    return 0;
  }
  const int count = static_cast<int>(list.size());
  QV_DEBUG(kModule, "counted %d elements", count);
  return count;
}

qv_list_entry* qv_list_search(const qv_list& list, const void* key, std::size_t key_length,
                              qv_compare_function compare) {
  if (key_length == 0 || key == nullptr || compare == nullptr) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return nullptr;
  }
  for (const auto& entry : list) {
    if (entry->data == nullptr) continue;
    // The shorter length decides, so a prefix on either side counts as equal.
    if (compare(entry->data, key, std::min(entry->size, key_length)) == 0) {
      QV_DEBUG(kModule, "found a match");
      return entry.get();
    }
  }
  QV_DEBUG(kModule, "no match found");
  return nullptr;
}

int qv_list_contains(const qv_list& list, const void* key, std::size_t key_length,
                     qv_compare_function compare) {
  return qv_list_search(list, key, key_length, compare) != nullptr ? 1 : 0;
}

int qv_list_remove(qv_list* list, const qv_list_entry* entry,
                   std::unique_ptr<qv_list_entry>* removed) {
  if (list == nullptr || entry == nullptr || list->empty()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  const auto position = find_entry(*list, entry);
  if (position == list->end()) return 0;
  QV_DEBUG(kModule, "found a match - trying to remove");
  if (position != list->begin()) QV_DEBUG(kModule, "tied next item to previous->next");
  std::unique_ptr<qv_list_entry> unlinked = std::move(*position);
  list->erase(position);
  if (removed != nullptr) *removed = std::move(unlinked);
  return 1;
}

int qv_list_remove_free(qv_list* list, qv_list_entry* entry, qv_release_function release) {
  if (list == nullptr || entry == nullptr || list->empty()) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  // The new list points at the old blocks; blocks the old entries own move over only once
  // the whole new list stands, so a failure leaves the old list intact.
  qv_list rebuilt;
  for (auto& old_entry : *list) {
    if (old_entry.get() == entry) {
      if (release != nullptr && entry->data != nullptr) {
        release_data(*entry, release);
        entry->data = nullptr;
        entry->own_copy.reset();
      }
      continue;
    }
    if (qv_append_list_entry(&rebuilt, old_entry->data, old_entry->size, 0) < 0) {
      qv_destroy_list(&rebuilt, nullptr);
      return 0;
    }
  }
  auto next_new = rebuilt.begin();
  for (auto& old_entry : *list) {
    if (old_entry.get() == entry) continue;
    (*next_new)->own_copy = std::move(old_entry->own_copy);
    ++next_new;
  }
  qv_destroy_list(list, nullptr);
  *list = std::move(rebuilt);
  return 1;
}

int qv_list_from_string_by_char(qv_list* list, const char* text, std::size_t length,
                                char delimiter) {
  if (text == nullptr || list == nullptr || length == 0) {
    QV_ERROR(kModule, "%s", std::strerror(EINVAL));
    return 0;
  }
  QV_DEBUG(kModule, "splitting [%s] by delimiter [%c]", text, delimiter);
  // Positions rather than pointers: the walk steps one past the end before it stops.
  std::size_t start = 0;
  while (start <= length) {
    QV_DEBUG(kModule, "ptr1 pointing to [%s]", text + start);
    std::size_t field_end = start;
    if (start < length && text[start] != delimiter) {
      while (field_end < length && text[field_end] != delimiter) ++field_end;
      QV_DEBUG(kModule, "ptr2 pointing to [%s]", text + field_end);
    }
    if (field_end > start) {
      const std::size_t field_length = field_end - start;
      // A NUL-terminated copy the list takes over, so each entry reads as a text.
      std::unique_ptr<std::byte[]> block(new (std::nothrow) std::byte[field_length + 1]());
      if (block == nullptr) {
        QV_ERROR(kModule, "%s", std::strerror(ENOMEM));
        return 0;
      }
      std::memcpy(block.get(), text + start, field_length);
      QV_DEBUG(kModule, "extracted [%s]", reinterpret_cast<const char*>(block.get()));
      if (qv_append_list_entry(list, block.get(), field_length + 1, 0) < 0) {
        QV_ERROR(kModule, "%s", std::strerror(ECANCELED));
        return 0;
      }
      list->back()->own_copy = std::move(block);
    }
    start = field_end + 1;
  }
  return 1;
}

}  // namespace korvex
