// activity_files - finding and reading the activity files. See activity_files.h.
//
// Rotated copies are decompressed through zlib in the process: no child to start, wait for
// and interpret, and a damaged archive is told by zlib's own words.
#include "report/activity_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "support/unique_fd.h"

namespace korvex {

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;

struct DirectoryCloser {
  void operator()(DIR* directory) const { (void)::closedir(directory); }
};

struct GzipCloser {
  void operator()(gzFile_s* file) const { (void)::gzclose(file); }
};

// The rotation number of "<name>.N" or "<name>.N.gz"; 0 when entry is neither.
unsigned long rotation_number(std::string_view entry, std::string_view name, bool* compressed) {
  if (entry.size() <= name.size() + 1 || entry.substr(0, name.size()) != name ||
      entry[name.size()] != '.') {
    return 0;
  }
  std::string_view rest = entry.substr(name.size() + 1);
  *compressed = rest.size() > 3 && rest.substr(rest.size() - 3) == ".gz";
  if (*compressed) rest.remove_suffix(3);
  unsigned long number = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), number);
  if (error != std::errc() || end != rest.data() + rest.size() || rest[0] == '0') return 0;
  return number;
}

// Splits blocks into lines, keeping a line cut by a block's end until its rest arrives. A
// line longer than a block (a damaged file without line feeds, say) is not kept: it is
// handed on empty, as the line that is no activity line it is.
class LineSplitter {
 public:
  explicit LineSplitter(LineSink* sink) : sink_(sink) {}

  void feed(const char* data, std::size_t size) {
    std::string_view block(data, size);
    if (cut_) {
      const std::size_t end = block.find('\n');
      carry(block.substr(0, end));
      if (end == std::string_view::npos) return;
      hand_on_carried();
      block.remove_prefix(end + 1);
    }
    for (std::size_t end = 0; (end = block.find('\n')) != std::string_view::npos;) {
      sink_->line(block.substr(0, end), ++line_number_);
      block.remove_prefix(end + 1);
    }
    if (!block.empty()) carry(block);
  }

  // A last line without a line feed is a line too.
  void finish() {
    if (cut_) hand_on_carried();
  }

 private:
  void carry(std::string_view part) {
    cut_ = true;
    if (carried_.size() + part.size() > kBlockSize) {
      overlong_ = true;
      carried_.clear();
    }
    if (!overlong_) carried_.append(part);
  }

  void hand_on_carried() {
    sink_->line(overlong_ ? std::string_view() : std::string_view(carried_), ++line_number_);
    carried_.clear();
    cut_ = false;
    overlong_ = false;
  }

  LineSink* sink_;
  std::string carried_;
  bool cut_ = false;       // a line is under way
  bool overlong_ = false;  // and it is longer than a block
  std::size_t line_number_ = 0;
};

bool read_plain(int fd, LineSink* sink, std::string* problem) {
  const std::unique_ptr<char[]> block(new char[kBlockSize]);
  LineSplitter splitter(sink);
  for (;;) {
    const ssize_t got = ::read(fd, block.get(), kBlockSize);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *problem = std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    splitter.feed(block.get(), static_cast<std::size_t>(got));
  }
  splitter.finish();
  return true;
}

std::string gzip_problem(gzFile_s* file) {
  int code = Z_OK;
  const char* text = ::gzerror(file, &code);
  if (code == Z_ERRNO) return std::strerror(errno);
  if (text == nullptr || *text == '\0') return "cannot decompress";
  // zlib puts the name it was given in front, here "<fd:N>": the caller names the file.
  std::string_view words(text);
  if (words.substr(0, 4) == "<fd:" && words.find(">: ") != std::string_view::npos) {
    words.remove_prefix(words.find(">: ") + 3);
  }
  return std::string(words);
}

bool read_compressed(unique_fd fd, LineSink* sink, std::string* problem) {
  const std::unique_ptr<gzFile_s, GzipCloser> file(::gzdopen(fd.get(), "rb"));
  if (!file) {
    *problem = "out of memory";
    return false;
  }
  (void)fd.release();  // gzclose closes it now
  if (::gzbuffer(file.get(), 256 * 1024) != 0) {
    *problem = "out of memory";
    return false;
  }
  const std::unique_ptr<char[]> block(new char[kBlockSize]);
  LineSplitter splitter(sink);
  for (bool first = true;; first = false) {
    const int got = ::gzread(file.get(), block.get(), static_cast<unsigned>(kBlockSize));
    if (got < 0) {
      *problem = gzip_problem(file.get());
      return false;
    }
    // zlib passes a file that is not gzip through as it is; a .gz must be one.
    if (first && got > 0 && ::gzdirect(file.get()) != 0) {
      *problem = "not in gzip format";
      return false;
    }
    if (got == 0) break;
    splitter.feed(block.get(), static_cast<std::size_t>(got));
  }
  // A file cut short ends the reading without an error from gzread itself.
  int code = Z_OK;
  (void)::gzerror(file.get(), &code);
  if (code != Z_OK) {
    *problem = gzip_problem(file.get());
    return false;
  }
  splitter.finish();
  return true;
}

}  // namespace

bool list_activity_files(const std::string& directory, const std::string& name,
                         std::vector<ActivityFile>* files, std::string* problem) {
  files->clear();
  const std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(directory.c_str()));
  if (!listing) {
    *problem = std::strerror(errno);
    return false;
  }
  std::vector<std::pair<unsigned long, ActivityFile>> found;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing.get());
    if (entry == nullptr && errno != 0) {
      *problem = std::strerror(errno);
      return false;
    }
    if (entry == nullptr) break;
    bool compressed = false;
    const std::string_view entry_name(entry->d_name);
    const unsigned long number =
        entry_name == name ? 0 : rotation_number(entry_name, name, &compressed);
    if (number == 0 && entry_name != name) continue;
    ActivityFile file{directory + "/" + std::string(entry_name), compressed, 0};
    struct stat status = {};
    if (::stat(file.path.c_str(), &status) == 0) {
      if (!S_ISREG(status.st_mode)) continue;
      file.modified = status.st_mtime;
    }
    found.emplace_back(number, std::move(file));
  }
  std::sort(found.begin(), found.end(), [](const auto& left, const auto& right) {
    return left.first != right.first ? left.first < right.first
                                     : left.second.compressed < right.second.compressed;
  });
  for (auto& [number, file] : found) files->push_back(std::move(file));
  return true;
}

bool read_activity_file(const ActivityFile& file, LineSink* sink, std::string* problem) {
  unique_fd fd(::open(file.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    *problem = std::strerror(errno);
    return false;
  }
  if (file.compressed) return read_compressed(std::move(fd), sink, problem);
  return read_plain(fd.get(), sink, problem);
}

}  // namespace korvex
