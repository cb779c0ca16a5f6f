// pattern_index_finder - finds the index that fits a pattern list a run has open, and when none
// does, builds one once into a cache directory the run may write, so that the runs after it
// need not compile every expression again.
//
// An index fits when it was made from this very file, unchanged (one fstat tells), or from
// the same bytes in another file (the list copied, restored or deployed after indexing; its
// digest tells). The index beside the list comes first, then the one in the cache directory,
// named after the list. A rebuild runs under a lock on the cache directory, so that runs
// arriving meanwhile wait for it and take its result rather than compile the list each.
//
// Exports: index_origin, found_index, find_pattern_index, cached_index_path.
#pragma once

#include <string>

#include "patterns/pattern_index.h"

namespace korvex {

enum class index_origin {
  none,        // no index fits and none could be made: walk the list
  beside,      // the index beside the list
  cached,      // the index in the cache directory
  rebuilt,     // made by this run and installed in the cache directory
  not_stored,  // made by this run, but it could not be installed (see problem)
};

// What find_pattern_index found. Not to be moved: the view may point into bytes.
struct found_index {
  index_origin origin = index_origin::none;
  pattern_index_view view;
  std::string bytes;        // the index this run made
  std::string cached_path;  // where it was, or would have been, installed
  std::string problem;      // not_stored: why, naming the path and the system's error
};

// cached_index_path - where the cache directory holds the index of the list at list_path.
std::string cached_index_path(const std::string& cache_dir, const std::string& list_path);

// find_pattern_index - the index for the list open at list_fd (read from list_path's place).
// An empty cache_dir makes no rebuild. A list that cannot be read whole gives origin none.
void find_pattern_index(int list_fd, const std::string& list_path, const std::string& cache_dir,
                        found_index* found);

}  // namespace korvex
