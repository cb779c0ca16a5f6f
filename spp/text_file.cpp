// text_file - whole-file reading for the SMTP front end. See text_file.h.
#include "spp/text_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.h"

namespace korvex {

namespace {

// Configuration files are a few lines; anything bigger is a mistake, not a config.
constexpr std::size_t kMaxFileSize = 1 << 20;

}  // namespace

bool read_text_file(const std::string& path, std::string* content, std::string* error) {
  content->clear();
  const unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(file.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = path + ": " + strerror(errno);
      return false;
    }
    if (got == 0) return true;
    content->append(chunk, static_cast<std::size_t>(got));
    if (content->size() > kMaxFileSize) {
      *error = path + ": file too large";
      return false;
    }
  }
}

}  // namespace korvex
