// pattern_index_finder - the cheap checks first (one fstat against each index's header), the
// digest of the list only when both fail, and the full build only when no digest fits.

#include "patterns/pattern_index_finder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "support/file_io.h"

namespace korvex {
namespace {

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Build the index of content under the cache directory's lock, unless a run that held the
// lock before did so already.
void rebuild(const std::string& cache_dir, const struct stat& status, const std::string& content,
             found_index* found) {
  const unique_fd directory(::open(cache_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) {
    found->problem = "cannot open " + cache_dir + ": " + std::strerror(errno);
  } else {
    if (!lock_whole_file(directory.get(), lock_kind::flock_exclusive_wait)) {
      found->problem = "cannot lock " + cache_dir + ": " + std::strerror(errno);
    } else if (found->view.open_file(found->cached_path) &&
               same_content(found->view.identity(), content)) {
      found->origin = index_origin::cached;
      return;
    }
  }
  // Made even when it cannot be stored: this run has to judge every line anyway, and walking
  // the index gives the same result as walking the list.
  const auto entries = build_pattern_entries(content);
  if (!entries) return;  // no memory to spare: the plain walk needs none
  found->bytes = encode_pattern_index(identity_of(status, content), *entries);
  found->origin = index_origin::not_stored;
  if (found->problem.empty() &&
      install_pattern_index(found->cached_path, found->bytes, &found->problem)) {
    found->origin = index_origin::rebuilt;
  }
  if (!found->view.open(found->bytes)) found->origin = index_origin::none;
}

// The list is a copy of what the index beside it was made from: keep that index, naming
// this file, in the cache, where the next runs find it by one fstat instead of reading and
// digesting the whole list. Only speed is at stake, so a failure is not reported.
void restamp_into_cache(const std::string& list_path, const struct stat& status,
                        std::string_view content, const std::string& cached_path) {
  std::string bytes;
  pattern_index decoded;
  std::string problem;
  // Read again, the index may have been replaced since it was judged.
  if (load_pattern_index(pattern_index_path(list_path), &bytes, &decoded) &&
      same_content(decoded.identity, content) && restamp_pattern_index(&bytes, status)) {
    (void)install_pattern_index(cached_path, bytes, &problem);
  }
}

}  // namespace

std::string cached_index_path(const std::string& cache_dir, const std::string& list_path) {
  return cache_dir + "/" + base_name(list_path) + kPatternIndexSuffix;
}

void find_pattern_index(int list_fd, const std::string& list_path, const std::string& cache_dir,
                        found_index* found) {
  found->origin = index_origin::none;
  struct stat status {};
  if (::fstat(list_fd, &status) != 0) return;
  const auto take = [found](pattern_index_view* view, index_origin origin) {
    found->view = std::move(*view);
    found->origin = origin;
  };
  pattern_index_view beside;
  const bool has_beside = beside.open_file(pattern_index_path(list_path));
  if (has_beside && same_file(beside.identity(), status))
    return take(&beside, index_origin::beside);
  pattern_index_view cached;
  bool has_cached = false;
  if (!cache_dir.empty()) {
    found->cached_path = cached_index_path(cache_dir, list_path);
    has_cached = cached.open_file(found->cached_path);
    if (has_cached && same_file(cached.identity(), status)) {
      return take(&cached, index_origin::cached);
    }
  }
  std::string content;
  if (!read_pattern_list(list_fd, &content, &status)) return;
  if (has_beside && same_content(beside.identity(), content)) {
    if (!cache_dir.empty()) restamp_into_cache(list_path, status, content, found->cached_path);
    return take(&beside, index_origin::beside);
  }
  if (has_cached && same_content(cached.identity(), content)) {
    return take(&cached, index_origin::cached);
  }
  if (!cache_dir.empty()) rebuild(cache_dir, status, content, found);
}

}  // namespace korvex
