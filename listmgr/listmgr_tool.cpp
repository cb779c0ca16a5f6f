// listmgr_tool - command line, dispatch and listing of korvex-listmgr. See listmgr_tool.h.
#include "listmgr/listmgr_tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "lists/list_files.h"
#include "lists/list_match.h"
#include "lists/list_paths.h"
#include "lists/list_reader.h"
#include "rules/rule_overrides.h"

namespace korvex {

namespace {

// A leading colon makes getopt report a missing argument as ':' and print nothing itself.
constexpr const char* kOptionString = ":fiuibka:d:l";
constexpr mode_t kListFileMask = 022;

constexpr const char* kUsageLines[] = {
    "Possible <list> values:\n",
    "   -f  *From* whitelist. (when sender address matches, no checking done)\n",
    "   -i  *IP* exemption list. (when sending server IP matches, no checking done)\n",
    "   -u  *User* exemption list. (when recipient matches, no checking done)\n",
    "   -b  *IP* blacklist. (when sender address matches, message is rejected)\n",
    "   -k  *From* blacklist. (when mail from email matches, message is rejected)\n",
    "\nPossible <operation> values:\n",
    "   -a <entry>  Add <entry> to <list>\n",
    "   -d <entry>  Delete <entry> from <list>\n",
    "   -l          List entries on <list>\n",
    "\n",
};

__attribute__((format(printf, 1, 2))) void print_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // Standard error is the last place a diagnostic can go; its own failure has no outlet.
  (void)std::vfprintf(stderr, format, args);
  va_end(args);
}

// What the options seen so far have chosen and counted.
struct OptionCounts {
  int lists = 0;
  int operations = 0;
  int errors = 0;
};

std::optional<int> list_for_option(int option) {
  switch (option) {
    case 'f':
      return kFromWhitelistList;
    case 'i':
      return kExemptIpsList;
    case 'u':
      return kExemptUsersList;
    case 'b':
      return kBlockedIpsList;
    case 'k':
      return kBlockedFromList;
    default:
      return std::nullopt;
  }
}

// Applies one option returned by getopt; the last list and operation given win.
void take_option(int option, ListmgrOptions* options, OptionCounts* counts) {
  if (const std::optional<int> list_id = list_for_option(option)) {
    options->list_id = *list_id;
    ++counts->lists;
    return;
  }
  switch (option) {
    case 'a':
    case 'd':
      // An empty entry still counts as an operation but chooses none.
      ++counts->operations;
      if (optarg[0] != '\0') {
        options->operation = option == 'a' ? kAddOperation : kDeleteOperation;
        options->entry = optarg;
      }
      break;
    case 'l':
      options->operation = kListOperation;
      ++counts->operations;
      break;
    case ':':  // an option whose argument is missing chooses and counts nothing
      break;
    default:
      print_error("Unrecognized option: -%c\n", optopt);
      ++counts->errors;
      break;
  }
}

// Prints entries one per line on standard output and keeps the first write error.
class EntryPrinter {
 public:
  int operator()(const std::string& entry) {
    if (std::fwrite(entry.data(), 1, entry.size(), stdout) != entry.size() ||
        std::fputc('\n', stdout) == EOF) {
      note_error();
    }
    return 0;  // a listing goes on to the end; the failure is reported once, afterwards
  }
  // finish - flush what is buffered: 0, or the errno of the first failed write.
  int finish() {
    if (std::fflush(stdout) != 0) note_error();
    return error_;
  }

 private:
  void note_error() {
    if (error_ == 0) error_ = errno != 0 ? errno : EIO;
  }
  int error_ = 0;
};

__attribute__((format(printf, 2, 3))) int report_list_failure(log_function log, const char* format,
                                                              ...) {
  char text[1024] = {};
  va_list args;
  va_start(args, format);
  // A longer message is cut; it still names the list and the failure.
  (void)std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  print_error("FATAL: %s\n", text);
  if (log != nullptr) log(LOG_ERR, "FATAL: %s", text);
  return 1;
}

// Opens the list without blocking on anything that is not a plain file.
int open_list(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

constexpr const char* kRangeExamples = "(such as 192.0.2.0/24 or 2001:db8::/32)";

// An entry the IP lists would pass over forever is refused before it is written; one that
// spans lines is left to add_entry, which has its own words for it.
bool refuse_ip_entry(log_function log, int list_id, const std::string& entry) {
  if (list_id != kExemptIpsList && list_id != kBlockedIpsList) return false;
  if (entry.find_first_of("\r\n") != std::string::npos || is_ip_entry(entry)) return false;
  char text[1024] = {};
  if (entry.find('*') != std::string::npos) {
    (void)std::snprintf(text, sizeof text,
                        "Refused: wildcard entry [%s] never matches on an IP list; write a CIDR "
                        "range instead %s.",
                        entry.c_str(), kRangeExamples);
  } else {
    (void)std::snprintf(text, sizeof text,
                        "Refused: [%s] is neither an IP address nor a CIDR range %s.",
                        entry.c_str(), kRangeExamples);
  }
  print_error("%s\n", text);
  if (log != nullptr) log(LOG_ERR, "%s", text);
  return true;
}

// An entry the list would not keep as given is refused before it is written: the reader
// skips a line longer than one piece (the next rewrite would drop it), and white space
// around an entry would be compared as part of it.
bool refuse_unkeepable_entry(log_function log, const std::string& entry) {
  if (entry.find_first_of("\r\n") != std::string::npos) return false;  // add_entry's to say
  constexpr std::size_t kLongestEntry = kListPieceSize - 1;
  char text[256] = {};
  if (entry.size() > kLongestEntry) {
    (void)std::snprintf(text, sizeof text,
                        "Refused: the entry is %zu bytes long; a list keeps entries of at most "
                        "%zu bytes.",
                        entry.size(), kLongestEntry);
  } else if (!entry.empty() && (std::isspace(static_cast<unsigned char>(entry.front())) != 0 ||
                                std::isspace(static_cast<unsigned char>(entry.back())) != 0)) {
    (void)std::snprintf(text, sizeof text,
                        "Refused: the entry begins or ends with white space, which would be "
                        "compared as part of it.");
  } else {
    return false;
  }
  print_error("%s\n", text);
  if (log != nullptr) log(LOG_ERR, "%s", text);
  return true;
}

}  // namespace

void listmgr_usage(std::FILE* stream) {
  // The usage text is the last thing the tool says; a failed print changes nothing.
  (void)std::fprintf(stream, "Usage: %s <list> <operation>\n\n", kListmgrProgram);
  for (const char* line : kUsageLines) (void)std::fputs(line, stream);
}

bool listmgr_parse_options(int argc, char* argv[], ListmgrOptions* options) {
  *options = ListmgrOptions{};
  OptionCounts counts;
  optind = 0;  // a full rescan, so the parser can run more than once per process
  int option;
  while ((option = getopt(argc, argv, kOptionString)) != -1) take_option(option, options, &counts);

  if (counts.operations != 1) {
    print_error("FATAL: You must specify one and only one operation.\n");
    ++counts.errors;
  }
  if (counts.lists != 1) {
    print_error("FATAL: You must specify one and only one list.\n");
    ++counts.errors;
  }
  if (counts.errors == 0) return true;
  listmgr_usage(stderr);
  return false;
}

int listmgr_list_entries(log_function log, int list_id, const std::string& base_dir) {
  const std::optional<std::string> path = list_file_path(base_dir, list_id);
  // The lists module gives the warning for an id it does not know.
  if (!path) return iterate_exemption_list(log, list_id, EntryPrinter(), base_dir);

  unique_fd list(open_list(*path));
  if (!list.valid()) {
    if (errno == ENOENT) return 0;  // a list never written is empty
    return report_list_failure(log, "Unable to open list file %s: %s", path->c_str(),
                               std::strerror(errno));
  }
  struct stat status {};
  if (fstat(list.get(), &status) != 0) {
    return report_list_failure(log, "Unable to read list file %s: %s", path->c_str(),
                               std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return report_list_failure(log, "List file %s is not a regular file", path->c_str());
  }
  LineReader reader(list.get());
  EntryPrinter printer;
  const ListReadResult result = read_list_lines(reader, std::ref(printer));
  if (const int error = printer.finish(); error != 0) {
    return report_list_failure(log, "Unable to write the entries of %s: %s", path->c_str(),
                               std::strerror(error));
  }
  if (result.failed) {
    return report_list_failure(log, "Unable to read list file %s: %s", path->c_str(),
                               std::strerror(result.error));
  }
  return 0;
}

int listmgr_dispatch(const ListmgrOptions& options, log_function log, const std::string& base_dir) {
  int result;
  switch (options.operation) {
    case kAddOperation:
      result = refuse_unkeepable_entry(log, options.entry) ||
                       refuse_ip_entry(log, options.list_id, options.entry)
                   ? 1
                   : add_entry(log, options.list_id, options.entry, base_dir);
      break;
    case kDeleteOperation:
      result = del_entry(log, options.list_id, options.entry, base_dir);
      break;
    case kListOperation:
      result = listmgr_list_entries(log, options.list_id, base_dir);
      break;
    default:
      print_error("FATAL: Don't know what to do with operation %d.\n", options.operation);
      listmgr_usage(stderr);
      return 1;
  }
  if (result != 0 && log != nullptr) {
    log(LOG_ERR, "Error: operation %d returned %d", options.operation, result);
  }
  return result;
}

int listmgr_run(int argc, char* argv[], const std::string& base_dir, log_function log) {
  ListmgrOptions options;
  if (!listmgr_parse_options(argc, argv, &options)) return 1;
  // Lists created or replaced come out readable by all and writable by their owner only;
  // the previous mask is of no further use.
  (void)umask(kListFileMask);
  openlog(kListmgrProgram, LOG_PID, LOG_MAIL);
  // The rule set is read as the plugin reads it, so the overrides' debug lines show here too.
  (void)configured_rule_states(read_rule_overrides(base_dir), log);
  const int result = listmgr_dispatch(options, log, base_dir);
  closelog();
  return result;
}

}  // namespace korvex
