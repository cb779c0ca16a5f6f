// common_utils - texts, paths, regular expressions, commands and transfers; see
// common_utils.h.
#include "support/common_utils.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <optional>

#include "support/locked_file.h"
#include "support/regex_holder.h"

namespace korvex {

bool text_field(unsigned index, std::string* field, std::string_view source, char separator) {
  if (field == nullptr || source.empty()) return false;
  std::size_t start = 0;
  for (unsigned skipped = 0; skipped < index; ++skipped) {
    const std::size_t separator_at = source.find(separator, start);
    if (separator_at == std::string_view::npos) return false;
    start = separator_at + 1;
  }
  const std::size_t end = source.find(separator, start);
  *field = std::string(source.substr(start, end == std::string_view::npos ? end : end - start));
  return true;
}

void text_append(std::string* text, std::string_view appended) {
  if (text != nullptr) text->append(appended);
}

void text_replace_all(std::string* text, std::string_view token, std::string_view replacement) {
  // An empty token occurs everywhere and would never let the walk move on.
  if (text == nullptr || token.empty()) return;
  std::string result;
  std::size_t done = 0;
  for (std::size_t found = text->find(token); found != std::string::npos;
       found = text->find(token, done)) {
    result.append(*text, done, found - done);
    result.append(replacement);
    // Continue behind the token in the original text, so a replacement that contains the
    // token is never replaced again.
    done = found + token.size();
  }
  result.append(*text, done, std::string::npos);
  *text = std::move(result);
}

void int_to_text(int value, std::string* text) {
  if (text != nullptr) *text = std::to_string(value);
}

std::string temp_file_name(std::string_view prefix) {
  std::string name = kTempDirectory;
  name.append(prefix);
  name += '.';
  name += std::to_string(getpid());
  return name;
}

bool path_is_directory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool path_is_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool path_is_executable(const std::string& path) {
  return path_is_file(path) && access(path.c_str(), R_OK | X_OK) == 0;
}

int regex_extract(std::string* output, const char* pattern, const char* second_pattern,
                  const char* subject) {
  if (output == nullptr || pattern == nullptr || subject == nullptr) return -1;
  regex_holder first;
  if (first.compile(pattern, REG_EXTENDED) != 0) return -1;
  const std::optional<regmatch_t> first_match = first.first_match(subject);
  if (!first_match) return -2;
  const char* found = subject + first_match->rm_so;
  auto found_length = static_cast<std::size_t>(first_match->rm_eo - first_match->rm_so);
  if (second_pattern != nullptr) {
    regex_holder second;
    if (second.compile(second_pattern, REG_EXTENDED) != 0) return -3;
    const std::optional<regmatch_t> second_match = second.first_match(found);
    if (!second_match) return -4;
    found_length = static_cast<std::size_t>(second_match->rm_eo - second_match->rm_so);
    found += second_match->rm_so;
  }
  try {
    *output = std::string(found, found_length);
  } catch (const std::exception&) {
    return -1;
  }
  return 0;
}

int regex_extract_int(int* value, const char* pattern, const char* second_pattern,
                      const char* subject) {
  if (value == nullptr) return -1;
  std::string text;
  const int result = regex_extract(&text, pattern, second_pattern, subject);
  if (result != 0) return result;
  const long number = std::strtol(text.c_str(), nullptr, 10);
  *value = static_cast<int>(number < INT_MIN ? INT_MIN : number > INT_MAX ? INT_MAX : number);
  return 0;
}

int regex_extract_text(std::string* output, const char* pattern, const char* second_pattern,
                       const char* subject) {
  return regex_extract(output, pattern, second_pattern, subject) == 0 ? 0 : -1;
}

int run_command(const char* command_line) {
  if (command_line == nullptr) return -1;
  const int status = std::system(command_line);
  if (status == -1) return 255;
  // A command killed by a signal failed, whatever it had done before: report it the way
  // shells do rather than as the 0 its missing exit status would read as.
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

std::string curl_failure_text(int status) {
  // curl is run with -s, which keeps its own message back: say what its exit code means.
  static const std::map<int, const char*> kCurlErrors = {
      {1, "Unsupported protocol"},
      {3, "URL using bad/illegal format or missing URL"},
      {5, "Couldn't resolve proxy name"},
      {6, "Couldn't resolve host name"},
      {7, "Couldn't connect to server"},
      {18, "Transferred a partial file"},
      {22, "HTTP response code said error"},
      {23, "Failed writing received data to disk/application"},
      {26, "Failed to open/read local data from file/application"},
      {27, "Out of memory"},
      {28, "Timeout was reached"},
      {35, "SSL connect error"},
      {37, "Couldn't read a file:// file"},
      {47, "Number of redirects hit maximum amount"},
      {52, "Server returned nothing (no headers, no data)"},
      {55, "Failed sending data to the peer"},
      {56, "Failure when receiving data from the peer"},
      {60, "SSL peer certificate or SSH remote key was not OK"},
  };
  if (status == 126) return "the transfer program cannot be run (status 126)";
  if (status == 127) return "the transfer program was not found (status 127)";
  if (status > 128 && status < 128 + 65) {
    return "the transfer was killed by signal " + std::to_string(status - 128);
  }
  const auto known = kCurlErrors.find(status);
  const std::string text = known != kCurlErrors.end() ? known->second : "curl failed";
  return "curl: (" + std::to_string(status) + ") " + text;
}

std::string shell_quote(std::string_view value) {
  // Inside single quotes nothing is special; a single quote itself is closed, escaped and
  // reopened.
  std::string quoted = "'";
  for (const char character : value) {
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string remote_fetch_command_line(const std::string& tool, const std::string& post_data,
                                      const std::string& options, const std::string& url,
                                      const std::string& body_file,
                                      const std::string& header_file) {
  return tool + " " + options + " -d " + shell_quote(post_data) + " -o " + shell_quote(body_file) +
         " -D " + shell_quote(header_file) + " " + url;
}

namespace {

constexpr const char* kBodyFilePrefix = "kxd";
constexpr const char* kHeaderFilePrefix = "kxh";

// Removes the transfer's temporary files on every way out of remote_fetch.
class temporary_files {
 public:
  temporary_files()
      : body_(temp_file_name(kBodyFilePrefix)), header_(temp_file_name(kHeaderFilePrefix)) {}
  ~temporary_files() {
    // Nothing more can be done about a file that will not go away.
    (void)unlink(body_.c_str());
    (void)unlink(header_.c_str());
  }
  temporary_files(const temporary_files&) = delete;
  temporary_files& operator=(const temporary_files&) = delete;

  const std::string& body() const { return body_; }
  const std::string& header() const { return header_; }

 private:
  std::string body_;
  std::string header_;
};

// Creates path as a new, empty file only this user can read. Whatever stood there first,
// in particular a symbolic link planted by someone else, is removed, and the creation
// refuses to follow a link that appears in between, so the transfer can never be made to
// write somewhere else. An empty text on success, otherwise what went wrong.
std::string create_private_file(const std::string& path) {
  if (unlink(path.c_str()) == -1 && errno != ENOENT) {
    return "cannot remove [" + path + "]: " + std::strerror(errno);
  }
  const int descriptor =
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor == -1) return "cannot create [" + path + "]: " + std::strerror(errno);
  if (!file_close(descriptor)) return "cannot create [" + path + "]: " + std::strerror(errno);
  return {};
}

// The number after the first space of the header, as in "HTTP/1.1 200 OK"; 0 without one.
int status_from_header(const std::string& header) {
  const std::size_t space = header.find(' ');
  if (space == std::string::npos) return 0;
  const long number = std::strtol(header.c_str() + space + 1, nullptr, 10);
  return number < 0 || number > INT_MAX ? 0 : static_cast<int>(number);
}

std::string exit_code_text(int status) {
  char text[96];
  (void)std::snprintf(text, sizeof text, "Fatal error executing remote url fetch. Exit code: [%d]",
                      status);
  return text;
}

}  // namespace

bool remote_fetch(const std::string& tool, const std::string& post_data, const std::string& options,
                  const std::string& url, std::string* output, int* http_status) {
  if (output == nullptr || http_status == nullptr) return false;
  const temporary_files files;
  *http_status = 0;
  for (const std::string* path : {&files.body(), &files.header()}) {
    const std::string problem = create_private_file(*path);
    if (!problem.empty()) {
      *output = "Fatal error preparing remote url fetch: " + problem;
      return false;
    }
  }
  const int status = run_command(
      remote_fetch_command_line(tool, post_data, options, url, files.body(), files.header())
          .c_str());
  if (status != 0) {
    *output = exit_code_text(status);
    return false;
  }
  std::optional<std::string> body = file_read_all(files.body());
  if (!body) {
    *output = "Fatal error reading remote url fetch result: [" + files.body() + "]";
    return false;
  }
  const std::optional<std::string> header = file_read_all(files.header());
  *http_status = header ? status_from_header(*header) : 0;
  *output = std::move(*body);
  return true;
}

}  // namespace korvex
