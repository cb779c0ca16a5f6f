// qv_list - the data list: an ordered list of sized data blocks, used for address pieces,
// file lines and parsed table records.
//
// An entry holds a pointer to its data block and the block's size (for text, the length
// including the terminating NUL). A block is either copied into the entry, which then owns
// the copy and frees it with itself, or assigned, in which case the entry only points at
// the caller's block and the caller decides who frees it: the destroying operations hand
// every block to the release function the caller passes. Entries keep their identity while
// they are in the list, so an entry found by qv_list_search can be removed by address.
// Every step is traced, and every bad argument reported, through qv_log under "qv_list".
//
// Exports: qv_list_entry, qv_list, qv_release_function, qv_compare_function,
// qv_append_list_entry, qv_destroy_list, qv_num_elements, qv_list_search,
// qv_list_contains, qv_list_remove, qv_list_remove_free, qv_list_from_string_by_char.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace korvex {

struct qv_list_entry {
  void* data = nullptr;                   // the element's data block
  std::size_t size = 0;                   // its length in bytes
  std::unique_ptr<std::byte[]> own_copy;  // the block itself when the list owns it
};

// A list in order; an empty vector is the empty list.
using qv_list = std::vector<std::unique_ptr<qv_list_entry>>;

// Receives a data block the list is done with.
using qv_release_function = void (*)(void* data);

// Compares an entry's data with a key over length bytes; 0 means equal (as memcmp).
using qv_compare_function = int (*)(const void* data, const void* key, std::size_t length);

// qv_append_list_entry - append a block (copied when the low byte of copy is set).
// Returns the number of entries afterwards; -1 bad argument, -2 no memory for the entry,
// -3 no memory for the copy.
int qv_append_list_entry(qv_list* list, void* data, std::size_t size, int copy);

// qv_destroy_list - drop every entry, handing each assigned block to release (if given).
void qv_destroy_list(qv_list* list, qv_release_function release);

// qv_num_elements - number of entries.
int qv_num_elements(const qv_list& list);

// qv_list_search - first entry whose data equals key over the shorter of the two lengths.
qv_list_entry* qv_list_search(const qv_list& list, const void* key, std::size_t key_length,
                              qv_compare_function compare);

// qv_list_contains - 1 when qv_list_search finds an entry, else 0.
int qv_list_contains(const qv_list& list, const void* key, std::size_t key_length,
                     qv_compare_function compare);

// qv_list_remove - unlink entry and hand it back through removed (the caller owns it and
// its data again); 1 when it was in the list, else 0.
int qv_list_remove(qv_list* list, const qv_list_entry* entry,
                   std::unique_ptr<qv_list_entry>* removed);

// qv_list_remove_free - rebuild the list without entry, releasing its data block first.
// 1 when the list was rebuilt, 0 on failure.
int qv_list_remove_free(qv_list* list, qv_list_entry* entry, qv_release_function release);

// qv_list_from_string_by_char - append every non-empty field of the first length bytes of
// text, split at delimiter, as a NUL-terminated block owned by the list. text itself must
// be NUL-terminated at or after length (the trace prints it). 1 on success.
int qv_list_from_string_by_char(qv_list* list, const char* text, std::size_t length,
                                char delimiter);

}  // namespace korvex
