// tarn_functions - the block-list updater tarn_update: reads the lists and mirror files,
// downloads each list's bzip2 archive with curl, tests it with bzip2, compares its MD5
// digest with the archive kept from the previous run and, when it changed (or the map is
// missing), decompresses it over the TARN map file in the output directory.
//
// Exports: TarnOptions, MirrorType, tarn_usage, handle_arguments, valid_options,
// __read_list_file, __mirror_type, fetch_file, test_bzip_integrity, get_md5, bunzip,
// processTarn.
#pragma once

#include <syslog.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "support/qv_log.h"
#include "support/string_list.h"
#include "update/update_paths.h"

namespace korvex {

struct TarnOptions {
  std::string lists_file = kTarnListsFile;
  std::string mirror_file = kTarnMirrorFile;
  std::string output_dir;    // used unchanged; callers end it with "/"
  std::string incoming_dir;  // output_dir + "incoming"
  bool update = false;
  log_function log = ::syslog;  // where the run's log lines go
};

enum class MirrorType { Http, Ftp, File };

// The tools tarn_update runs, in the order they are checked.
inline constexpr std::array<const char*, 3> kTarnTools = {kCurlPath, kBzip2Path, kMd5sumPath};

// Longest entry accepted in a lists or mirror file.
inline constexpr std::size_t kListEntryMax = 1023;

// tarn_usage - print the usage line and the separator line on stream.
void tarn_usage(std::FILE* stream, const char* program);

// handle_arguments - parse the command line into options; false on a usage error (already
// reported on standard error / standard output).
bool handle_arguments(int argc, char* argv[], TarnOptions* options);

// valid_options - check the incoming directory (update mode) and the tools; prints why not.
bool valid_options(const TarnOptions& options,
                   const std::array<const char*, 3>& tools = kTarnTools);

// __read_list_file - read a lists or mirror file into entries, in file order.
bool __read_list_file(const std::string& path, string_list* entries, log_function log);

// __mirror_type - the mirror's scheme from the longest colon-ended prefix, or none.
std::optional<MirrorType> __mirror_type(const std::string& mirror);

// tarn_local_archive - where the archive of list is downloaded to in the current mode.
std::string tarn_local_archive(const TarnOptions& options, const std::string& list);

// tarn_fetch_command - the curl command line that downloads list from mirror to local.
std::string tarn_fetch_command(MirrorType type, const std::string& mirror, const std::string& list,
                               const std::string& local);

// fetch_file - download the archive of list from mirror; a failed transfer removes it.
bool fetch_file(const TarnOptions& options, const std::string& mirror, const std::string& list);

// test_bzip_integrity - test the archive (a corrupt one is deleted) and take its digest.
bool test_bzip_integrity(const std::string& path, std::optional<std::string>* digest,
                         log_function log);

// get_md5 - set digest to the MD5 digest of path; left unchanged when md5sum fails.
void get_md5(const std::string& path, std::optional<std::string>* digest, log_function log);

// bunzip - decompress archive next to itself and rename the result over destination.
bool bunzip(const std::string& archive, const std::string& destination, log_function log);

// processTarn - bring every list up to date from the first mirror that serves it.
void processTarn(const TarnOptions& options, const string_list& mirrors, const string_list& lists);

}  // namespace korvex
