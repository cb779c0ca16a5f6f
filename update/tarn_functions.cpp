// tarn_functions - the block-list updater's logic: options, list and mirror files, the
// download, archive test, digest and decompression steps, and the per-list update loop.
//
// Exports: see tarn_functions.h.
#include "update/tarn_functions.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>

#include "support/common_utils.h"
#include "support/file_io.h"
#include "update/report.h"

namespace korvex {
namespace {

constexpr const char* kLocalToken = "<LOCAL>";

const char* transfer_options(MirrorType type) {
  switch (type) {
    case MirrorType::Http:
      return "-sS -f -m 240 --connect-timeout 10 --time-cond <LOCAL> -o <LOCAL>";
    case MirrorType::Ftp:
      return "-sS -m 240 --connect-timeout 10 -o <LOCAL>";
    case MirrorType::File:
      return "-sS -o <LOCAL>";
  }
  return "";
}

// Every "<LOCAL>" in the options becomes the (quoted) local archive path.
std::string fill_local(std::string options, const std::string& quoted_local) {
  const std::size_t token_length = std::strlen(kLocalToken);
  for (std::size_t at = options.find(kLocalToken); at != std::string::npos;
       at = options.find(kLocalToken, at + quoted_local.size())) {
    options.replace(at, token_length, quoted_local);
  }
  return options;
}

void remove_if_present(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    report(stderr, "unable to remove %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

// Accumulates the characters of one entry; an over-long entry is dropped whole, since a
// cut list name or mirror would fetch the wrong thing.
class EntryReader {
 public:
  EntryReader(const std::string& path, string_list* entries, log_function log)
      : path_(path), entries_(entries), log_(log) {}

  void take(int c) {
    if (c == '\r') return;
    if (c == '\n') {
      finish();
      return;
    }
    if (in_comment_) return;
    if (c == '#') {
      in_comment_ = true;
      return;
    }
    if (entry_.size() < kListEntryMax) {
      entry_.push_back(static_cast<char>(c));
    } else {
      too_long_ = true;
    }
  }

  void finish() {
    if (too_long_) {
      log_(LOG_WARNING, "Entry longer than %zu characters in %s skipped", kListEntryMax,
           path_.c_str());
    } else if (!entry_.empty() && string_list_append(entries_, entry_) != 0) {
      log_(LOG_WARNING, "Failed to append entry %s\n", entry_.c_str());
    }
    entry_.clear();
    in_comment_ = false;
    too_long_ = false;
  }

 private:
  const std::string& path_;
  string_list* entries_;
  log_function log_;
  std::string entry_;
  bool in_comment_ = false;
  bool too_long_ = false;
};

struct FileCloser {
  void operator()(FILE* file) const { (void)std::fclose(file); }  // read-only: nothing to lose
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

}  // namespace

void tarn_usage(std::FILE* stream, const char* program) {
  report(stream, "Usage: %s [-f listsfile] [-m mirrorfile] [-u] <outdir>\n", program);
  report(stream, "--------------------------------------------------\n");
}

bool handle_arguments(int argc, char* argv[], TarnOptions* options) {
  optind = 0;  // full re-initialisation, so the parser can run more than once
  opterr = 0;
  bool usage_error = false;
  for (int option = 0; (option = ::getopt(argc, argv, "f:m:u")) != -1;) {
    switch (option) {
      case 'f':
        options->lists_file = optarg;
        break;
      case 'm':
        options->mirror_file = optarg;
        break;
      case 'u':
        options->update = true;
        break;
      default:
        report(stderr, "Unrecognized option: -%c\n", optopt);
        usage_error = true;
        break;
    }
  }
  if (usage_error || optind >= argc) {
    tarn_usage(stdout, argv[0]);
    return false;
  }
  options->output_dir = argv[optind];
  options->incoming_dir = options->output_dir + "incoming";
  return true;
}

bool valid_options(const TarnOptions& options, const std::array<const char*, 3>& tools) {
  if (options.update && !path_is_directory(options.incoming_dir)) {
    report(stdout, "incoming directory %s doesn't exist\n", options.incoming_dir.c_str());
    options.log(LOG_ERR, "incoming directory %s doesn't exist", options.incoming_dir.c_str());
    return false;
  }
  for (const char* tool : tools) {
    if (!path_is_executable(tool)) {
      report(stdout, "Required utility %s not available or not executable\n", tool);
      options.log(LOG_ERR, "Required utility %s not available or not executable", tool);
      return false;
    }
  }
  return true;
}

bool __read_list_file(const std::string& path, string_list* entries, log_function log) {
  if (!path_is_file(path)) {
    log(LOG_ERR, "Error: file %s does not exist", path.c_str());
    report(stderr, "Error: file %s does not exist\n", path.c_str());
    return false;
  }
  FileHandle file(std::fopen(path.c_str(), "r"));
  if (!file) {
    const char* reason = std::strerror(errno);
    log(LOG_ERR, "Error: unable to open file %s: %s", path.c_str(), reason);
    report(stderr, "Error: unable to open file %s: %s\n", path.c_str(), reason);
    return false;
  }
  EntryReader reader(path, entries, log);
  for (int c = 0; (c = std::fgetc(file.get())) != EOF;) reader.take(c);
  reader.finish();
  return true;
}

std::optional<MirrorType> __mirror_type(const std::string& mirror) {
  // The greedy "^(.*):" match: everything up to and including the last colon.
  const std::size_t colon = mirror.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string prefix = mirror.substr(0, colon + 1);
  if (::strcasecmp(prefix.c_str(), "http:") == 0) return MirrorType::Http;
  if (::strcasecmp(prefix.c_str(), "ftp:") == 0) return MirrorType::Ftp;
  if (::strcasecmp(prefix.c_str(), "file:") == 0) return MirrorType::File;
  return std::nullopt;
}

std::string tarn_local_archive(const TarnOptions& options, const std::string& list) {
  const std::string& directory = options.update ? options.incoming_dir : options.output_dir;
  return directory + "/" + list + ".bz2";
}

std::string tarn_fetch_command(MirrorType type, const std::string& mirror, const std::string& list,
                               const std::string& local) {
  return shell_quote(kCurlPath) + " " + fill_local(transfer_options(type), shell_quote(local)) +
         " " + shell_quote(mirror + list + ".bz2");
}

bool fetch_file(const TarnOptions& options, const std::string& mirror, const std::string& list) {
  const std::optional<MirrorType> type = __mirror_type(mirror);
  if (!type) {
    options.log(LOG_WARNING, "Unable to determine mirror type: %s\n", mirror.c_str());
    return false;
  }
  const std::string local = tarn_local_archive(options, list);
  if (const int status = run_command(tarn_fetch_command(*type, mirror, list, local).c_str());
      status != 0) {
    options.log(LOG_ERR, "Download of %s failed: %s", (mirror + list + ".bz2").c_str(),
                curl_failure_text(status).c_str());
    remove_if_present(local);
    return false;
  }
  return true;
}

void get_md5(const std::string& path, std::optional<std::string>* digest, log_function log) {
  const std::string command = shell_quote(kMd5sumPath) + " " + shell_quote(path);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    log(LOG_WARNING, "Error generating md5sum...%d", -1);
    report(stderr, "Error generating md5sum...%d\n", -1);
    return;
  }
  char line[kListEntryMax + 1] = {};
  const bool have_line = std::fgets(line, sizeof line, pipe) != nullptr;
  while (std::fgetc(pipe) != EOF) {
  }  // drain, so md5sum never dies of a broken pipe
  const int wait_status = ::pclose(pipe);
  const int status = wait_status == -1          ? -1
                     : WIFEXITED(wait_status)   ? WEXITSTATUS(wait_status)
                     : 128 + WTERMSIG(wait_status);
  if (status != 0 || !have_line) {
    log(LOG_WARNING, "Error generating md5sum...%d", status);
    report(stderr, "Error generating md5sum...%d\n", status);
    return;
  }
  const std::string text(line);
  *digest = text.substr(0, text.find(' '));
}

bool test_bzip_integrity(const std::string& path, std::optional<std::string>* digest,
                         log_function log) {
  if (!path_is_file(path)) return false;
  const std::string command = shell_quote(kBzip2Path) + " -s -t " + shell_quote(path);
  if (run_command(command.c_str()) != 0) {
    remove_if_present(path);
    return false;
  }
  get_md5(path, digest, log);
  return true;
}

bool bunzip(const std::string& archive, const std::string& destination, log_function log) {
  if (!path_is_file(archive)) {
    log(LOG_ERR, "source archive [%s] does not exist", archive.c_str());
    return false;
  }
  // bzip2 -d writes the archive's name without its ".bz2" suffix.
  std::string decompressed = archive;
  if (decompressed.ends_with(".bz2")) decompressed.resize(decompressed.size() - 4);
  const std::string command = shell_quote(kBzip2Path) + " -skfd " + shell_quote(archive);
  if (run_command(command.c_str()) != 0) {
    log(LOG_ERR, "[%s]: error decompressing. Command: [%s]", archive.c_str(), command.c_str());
    remove_if_present(decompressed);
    return false;
  }
  // One rename: readers of the map see the old file or the new one, never none; and the
  // new map is on disk before it takes the old one's place, so a power failure cannot leave
  // an empty map behind.
  if (!install_file(decompressed, destination)) {
    log(LOG_ERR, "[%s]: error replacing.", destination.c_str());
    remove_if_present(decompressed);
    return false;
  }
  return true;
}

namespace {

// install_if_changed - the update-mode step after a successful download. False when the
// download proved corrupt and the next mirror should be tried.
bool install_if_changed(const TarnOptions& options, const std::string& list,
                        const std::string& archive, const std::optional<std::string>& old_digest) {
  if (!path_is_file(archive)) return true;
  std::optional<std::string> new_digest;
  if (!test_bzip_integrity(archive, &new_digest, options.log)) {
    options.log(LOG_ERR, "[%s]: downloaded file is corrupt. Removed.", archive.c_str());
    return false;
  }
  const std::string map = options.output_dir + list;
  const bool changed = !old_digest || !new_digest || *old_digest != *new_digest;
  if (!changed && path_is_file(map)) return true;
  if (!bunzip(archive, map, options.log)) {
    options.log(LOG_ERR, "[%s]: error decompressing. Removed.", archive.c_str());
    remove_if_present(archive);
  }
  return true;
}

// fetch_and_install - try the mirrors in order until one delivers (and, in update mode,
// the map is installed or found current).
void fetch_and_install(const TarnOptions& options, const string_list& mirrors,
                       const std::string& list, const std::string& archive,
                       const std::optional<std::string>& old_digest) {
  for (const std::string& mirror : mirrors) {
    if (!fetch_file(options, mirror, list)) {
      options.log(LOG_WARNING, "Failed to fetch entire file [%s] from [%s]", list.c_str(),
                  mirror.c_str());
      continue;
    }
    if (!options.update || install_if_changed(options, list, archive, old_digest)) return;
  }
}

// mark_unfinished - leave a marker that lasts while the kept archive may be replaced before
// its map is; false when it cannot be made.
bool mark_unfinished(const std::string& marker) {
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  return fd >= 0 && ::close(fd) == 0;
}

void update_list(const TarnOptions& options, const string_list& mirrors, const std::string& list) {
  const std::string archive = options.incoming_dir + "/" + list + ".bz2";
  std::optional<std::string> old_digest;
  if (path_is_file(archive) && !test_bzip_integrity(archive, &old_digest, options.log)) {
    options.log(LOG_ERR, "[%s]: current bz file is corrupt. Removed.", archive.c_str());
  }
  if (!options.update) {
    fetch_and_install(options, mirrors, list, archive, old_digest);
    return;
  }
  // A run killed between download and rename leaves the new archive beside the old map and
  // this marker behind: the archive's digest then says nothing about the map, so the next
  // download is installed whatever its digest.
  const std::string marker = archive + ".unfinished";
  if (path_is_file(marker)) old_digest.reset();
  if (!mark_unfinished(marker)) old_digest.reset();
  fetch_and_install(options, mirrors, list, archive, old_digest);
  remove_if_present(marker);
}

}  // namespace

void processTarn(const TarnOptions& options, const string_list& mirrors,
                 const string_list& lists) {
  for (const std::string& list : lists) update_list(options, mirrors, list);
}

}  // namespace korvex
