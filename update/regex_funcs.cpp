// regex_funcs - the regex list updater's logic: options, the start-up probe, the
// ownership test of the installed list, the request body, the download itself and the
// index rebuilt beside the installed list.
//
// Exports: see regex_funcs.h.
#include "update/regex_funcs.h"

#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvex_version.h"
#include "patterns/pattern_index.h"
#include "support/common_utils.h"
#include "support/file_io.h"
#include "update/report.h"

namespace korvex {
namespace {

constexpr const char* kUserAgent = "Korvex Regex Updater/" KORVEX_VERSION;
constexpr const char* kDefaultProduct = "doravel";

bool parse_class(const char* text, std::uint8_t* rclass) {
  if (::strcasecmp(text, "all") == 0) {
    *rclass = kClassAll;
  } else if (::strcasecmp(text, "testing") == 0) {
    *rclass = kClassTesting;
  } else if (::strcasecmp(text, "tested") == 0) {
    *rclass = kClassTested;
  } else {
    report(stdout, "unknown class type %s\n", text);
    return false;
  }
  return true;
}

bool parse_type(const char* text, std::uint8_t* type) {
  for (std::uint8_t index = 0; index < 3; ++index) {
    if (::strcasecmp(text, kRegexTypeNames[index]) == 0) {
      *type = index;
      return true;
    }
  }
  report(stdout, "Unknown type %s\n", text);
  return false;
}

bool parse_votes(const char* text, unsigned* votes) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xffffffffUL) {
    report(stdout, "Invalid number of votes %s\n", text);
    return false;
  }
  *votes = static_cast<unsigned>(value);
  return true;
}

bool parse_option(int option, RegexOptions* options) {
  switch (option) {
    case 'c':
      return parse_class(optarg, &options->rclass);
    case 'd':
      options->debug = true;
      return true;
    case 'e':
      options->exclude_challenged = true;
      return true;
    case 'f':
      options->file = optarg;
      return true;
    case 'p':
      options->product = optarg;
      return true;
    case 't':
      return parse_type(optarg, &options->type);
    case 'v':
      return parse_votes(optarg, &options->votes);
    default:  // -h and unknown options
      return false;
  }
}

void remove_if_present(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    report(stderr, "Unable to remove %s: %s\n", path.c_str(), std::strerror(errno));
  }
}

// Probe that the list's directory takes new files: create F.test and remove it again.
bool probe_writable(const std::string& file, log_function log) {
  const std::string probe = file + ".test";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    log(LOG_ERR, "Unable to open file [%s] for writing. Please check path permissions.\n",
        file.c_str());
    report(stderr, "Unable to open file [%s] for writing. Please check path permissions.\n",
                 file.c_str());
    return false;
  }
  if (::close(fd) != 0 || ::unlink(probe.c_str()) != 0) {
    report(stderr, "Unable to clean up probe file %s: %s\n", probe.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

// starts_with_header - the first bytes of the file are the header text and its line end.
bool starts_with_header(const std::string& path, bool* readable) {
  FILE* file = std::fopen(path.c_str(), "r");
  *readable = file != nullptr;
  if (file == nullptr) return false;
  const std::size_t header_length = std::strlen(kRegexListHeader);
  std::string first(header_length + 1, '\0');
  // The header's terminator takes part in the comparison, so a shorter first line differs.
  const bool read_ok = std::fgets(first.data(), static_cast<int>(header_length + 1), file) != nullptr;
  (void)std::fclose(file);  // opened for reading only: nothing to lose
  return read_ok && std::strcmp(first.c_str(), kRegexListHeader) == 0;
}

}  // namespace

void regex_usage(std::FILE* stream, const char* program) {
  report(stream, "Usage: %s [options]\n\n", program);
  report(stream, " Options: \n");
  static const char* const lines[] = {
      " -c <CLASS>    only get entries of class CLASS (default: all)",
      "               possible CLASSes are: 'tested','testing' or 'all",
      " -d            (debug) write output to stdout instead of to a file",
      " -e            don't get entries that are marked as \"challenged\"",
      " -f <PATH>     the full path to the regex list file to update",
      " -h            this usage message",
      " -p <PRODUCT>  application requesting the data (default: doravel)",
      " -t <TYPE>     only get entries of type TYPE (default: ALL)",
      "               possible TYPEs are 'DUL', 'NONDUL' or 'ALL'",
      " -v <#VOTES>   only get entries with NUM or more votes (when getting",
      "               user contributed entries\n",
      "------------------------------------------",
  };
  for (const char* line : lines) report(stream, "%s\n", line);
}

bool handle_args(int argc, char* argv[], RegexOptions* options) {
  optind = 0;  // full re-initialisation, so the parser can run more than once
  for (int option = 0; (option = ::getopt(argc, argv, "c:def:hp:t:v:")) != -1;) {
    if (!parse_option(option, options)) {
      regex_usage(stdout, argv[0]);
      return false;
    }
  }
  return true;
}

void free_options(RegexOptions* options) { *options = RegexOptions{}; }

bool valid_options(const RegexOptions& options) {
  if (options.debug) return true;
  if (!options.file) {
    options.log(LOG_ERR, "file option must be specified when not running in debug mode");
    report(stderr, "file option must be specified when not running in debug mode\n");
    return false;
  }
  return probe_writable(*options.file, options.log);
}

bool is_ours(const std::string& path, log_function log) {
  if (!path_is_file(path)) return true;
  bool readable = false;
  const bool ours = starts_with_header(path, &readable);
  if (!readable) {
    log(LOG_ERR, "Unable to open file %s for reading", path.c_str());
    report(stderr, "Unable to open file %s for reading\n", path.c_str());
    return false;
  }
  if (!ours) {
    log(LOG_INFO, "Error: file [%s] was not written by this program, will not overwrite.",
        path.c_str());
    report(stderr, "Error: file [%s] was not written by this program, will not overwrite.\n",
                 path.c_str());
  }
  return ours;
}

std::string __generate_data(const RegexOptions& options) {
  std::string body = "type=";
  body += kRegexTypeNames[options.type < 3 ? options.type : std::uint8_t{kTypeAll}];
  if (options.rclass == kClassAll) {
    body += "&include_contrib=on";
    if (options.votes != 0) body += "&include_contrib_with_votes=" + std::to_string(options.votes);
  } else {
    body += "&include_contrib=off";
  }
  body += options.rclass == kClassTested ? "&include_testing=off" : "&include_testing=on";
  body += options.exclude_challenged ? "&include_challenged=off" : "&include_challenged=on";
  if (options.product && ::strcasecmp(options.product->c_str(), kDefaultProduct) != 0) {
    body += "&product=" + *options.product + "&doravel=N";
  } else {
    body += "&product=doravel&doravel=Y";
  }
  return body;
}

std::string regex_download_command(const RegexOptions& options, const std::string& url) {
  std::string command = shell_quote(kCurlPath) + " -f -s -k -A \"" + kUserAgent + "\" -d " +
                        shell_quote(__generate_data(options)) + " ";
  if (!options.debug && options.file) command += "-o " + shell_quote(*options.file + ".new") + " ";
  return command + shell_quote(url);
}

namespace {

// install_download - put F.new in place of F, but only when it is a listing from the
// service: an error page would otherwise be installed and then lock out every later update.
bool install_download(const std::string& file, log_function log) {
  const std::string fresh = file + ".new";
  bool readable = false;
  if (!starts_with_header(fresh, &readable)) {
    log(LOG_ERR, "Downloaded file [%s] is not a regex listing, discarded.", fresh.c_str());
    report(stderr, "Downloaded file [%s] is not a regex listing, discarded.\n",
                 fresh.c_str());
    remove_if_present(fresh);
    return false;
  }
  // Forced to disk before and after the rename: a power failure never leaves an empty list.
  if (const replace_outcome installed = install_file(fresh, file); !installed) {
    const std::string reason = installed.cause();
    log(LOG_ERR, "Unable to install [%s]: %s", file.c_str(), reason.c_str());
    report(stderr, "Unable to install [%s]: %s\n", file.c_str(), reason.c_str());
    remove_if_present(fresh);
    return false;
  }
  return true;
}

// refresh_index - rebuild the index beside a freshly installed list. The list is in place
// already, so a failure costs the plugin only speed: it is reported, and an index that could
// not be rewritten is removed rather than left to describe a list that is gone.
void refresh_index(const std::string& file, log_function log) {
  const std::string index = pattern_index_path(file);
  std::string problem;
  if (write_pattern_index(file, index, &problem)) return;
  log(LOG_ERR, "Unable to write the index of [%s]: %s", file.c_str(), problem.c_str());
  report(stderr, "Unable to write the index of [%s]: %s\n", file.c_str(), problem.c_str());
  remove_if_present(index);
}

}  // namespace

bool download_regex(const RegexOptions& options, const std::string& url) {
  const bool to_file = !options.debug && options.file;
  if (const int status = run_command(regex_download_command(options, url).c_str()); status != 0) {
    const std::string reason = curl_failure_text(status);
    options.log(LOG_ERR, "Error downloading regex file");
    options.log(LOG_ERR, "Download of %s failed: %s", url.c_str(), reason.c_str());
    report(stderr, "Error downloading regex file\nDownload of %s failed: %s\n", url.c_str(),
           reason.c_str());
    if (to_file) remove_if_present(*options.file + ".new");
    return false;
  }
  if (!to_file) return true;
  if (!install_download(*options.file, options.log)) return false;
  refresh_index(*options.file, options.log);
  return true;
}

}  // namespace korvex
