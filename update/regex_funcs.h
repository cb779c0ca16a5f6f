// regex_funcs - the regex list updater regexpull: asks the vendor's regex web service for
// one list of host-name patterns (an HTTP POST whose body selects type and class) and
// installs the answer at the given path, refusing to overwrite a file it did not write.
//
// Exports: RegexOptions, RegexClass, RegexType, regex_usage, handle_args, free_options,
// valid_options, is_ours, __generate_data, regex_download_command, download_regex.
#pragma once

#include <syslog.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "support/qv_log.h"
#include "update/update_paths.h"

namespace korvex {

enum RegexClass : std::uint8_t { kClassAll = 0, kClassTesting = 1, kClassTested = 2 };
enum RegexType : std::uint8_t { kTypeAll = 0, kTypeDul = 1, kTypeNonDul = 2 };

inline constexpr const char* kRegexTypeNames[] = {"ALL", "DUL", "NONDUL"};

struct RegexOptions {
  std::uint8_t rclass = kClassAll;
  bool debug = false;               // -d: the answer goes to standard output
  bool exclude_challenged = false;  // -e
  std::uint8_t type = kTypeAll;
  unsigned votes = 0;
  std::optional<std::string> file;     // -f
  std::optional<std::string> product;  // -p
  log_function log = ::syslog;
};

// regex_usage - print the usage text on stream (standard output after a usage error).
void regex_usage(std::FILE* stream, const char* program);

// handle_args - parse the command line; false for -h, an unknown option or a bad value.
bool handle_args(int argc, char* argv[], RegexOptions* options);

// free_options - return the options to their defaults.
void free_options(RegexOptions* options);

// valid_options - outside debug mode, -f must be given and F.test must be writable.
bool valid_options(const RegexOptions& options);

// is_ours - true when path is absent or its first line begins with the listing header.
bool is_ours(const std::string& path, log_function log);

// __generate_data - the POST body selecting type, class, challenged entries and product.
std::string __generate_data(const RegexOptions& options);

// regex_download_command - the curl command line that asks url for the list.
std::string regex_download_command(const RegexOptions& options, const std::string& url);

// download_regex - download the list and, outside debug mode, install it over the file and
// rebuild its index (a failed index is reported and removed; the update still succeeds).
bool download_regex(const RegexOptions& options, const std::string& url = kRegexServiceUrl);

}  // namespace korvex
