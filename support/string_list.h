// string_list - the everyday ordered container of texts: rule names, list names, file
// lines, reply lines, mirror lists. A list is a std::vector of texts; the named
// operations keep the suite's insertion rules (ordered insert keeps duplicates and puts
// a new text before equal ones).
//
// Exports: string_list, string_list_insert, string_list_append, string_list_free_nodes,
// string_list_release, string_list_destroy.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvex {

using string_list = std::vector<std::string>;

// Insertion modes of string_list_insert.
inline constexpr int kStringListAppend = 0;
inline constexpr int kStringListOrdered = 1;

// string_list_insert - add text: mode 1 in ascending byte order, any other mode at the end.
// Returns 0, or -1 when no list is given or memory runs out.
int string_list_insert(string_list* list, std::string text, int mode);

// string_list_append - add text at the end; as string_list_insert with mode 0.
int string_list_append(string_list* list, std::string text);

// string_list_free_nodes - drop every text from position first to the end.
void string_list_free_nodes(string_list* list, std::size_t first);

// string_list_release - empty the list.
void string_list_release(string_list* list);

// string_list_destroy - empty the list (texts and nodes are owned by the list alike).
void string_list_destroy(string_list* list);

}  // namespace korvex
