// entry_lines - numbered entries of list-shaped files. See entry_lines.h.
#include "check/entry_lines.h"

#include <fcntl.h>

#include "lists/list_reader.h"
#include "support/unique_fd.h"

namespace korvex {

void for_each_entry(const std::string& path,
                    const std::function<void(int line, const std::string& entry)>& take) {
  const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return;
  LineReader reader(fd.get());
  (void)read_list_lines(reader, [&reader, &take](const std::string& entry) {
    if (!entry.empty()) take(reader.lines_read(), entry);
    return 0;
  });
}

std::string shown_entry(const std::string& entry) { return "[" + entry + "]"; }

std::string numbered(const std::string& path, int line) {
  return path + ":" + std::to_string(line);
}

}  // namespace korvex
