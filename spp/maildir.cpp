// maildir - delivery of accepted messages into a Maildir. See maildir.h.
#include "spp/maildir.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "support/file_io.h"

namespace korvex {

namespace {

bool fail(const std::string& what, std::string* error) {
  *error = what + ": " + strerror(errno);
  return false;
}

bool make_directory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  return fail("mkdir " + path, error);
}

bool make_maildir(const std::string& maildir, std::string* error) {
  return make_directory(maildir, error) && make_directory(maildir + "/tmp", error) &&
         make_directory(maildir + "/new", error) && make_directory(maildir + "/cur", error);
}

}  // namespace

std::string maildir_name(long seconds, long microseconds, pid_t pid, unsigned sequence,
                         const std::string& host) {
  std::string name = std::to_string(seconds) + ".M" + std::to_string(microseconds) + "P" +
                     std::to_string(pid) + "Q" + std::to_string(sequence) + ".";
  for (const char c : host) {
    if (c == '/') {
      name += "\\057";
    } else if (c == ':') {
      name += "\\072";
    } else {
      name += c;
    }
  }
  return name;
}

bool maildir_deliver(const std::string& maildir, const std::string& name,
                     const std::string& content, std::string* error) {
  if (!make_maildir(maildir, error)) return false;
  const std::string temporary = maildir + "/tmp/" + name;
  const std::string final_path = maildir + "/new/" + name;
  replace_options options;
  options.temporary = temporary;
  options.exclusive = true;  // a name taken in tmp/ is another delivery's
  const replace_outcome outcome = replace_file(final_path, content, 0600, options);
  errno = outcome.error;
  switch (outcome.failed) {
    case replace_step::none:
      return true;
    case replace_step::create:
      return fail("create " + temporary, error);
    case replace_step::write:
    case replace_step::sync:
      return fail("write " + temporary, error);
    case replace_step::close:
      return fail("close " + temporary, error);
    case replace_step::rename:
      return fail("rename " + temporary + " to " + final_path, error);
    case replace_step::sync_directory:
      break;
  }
  return fail("sync " + maildir + "/new", error);
}

}  // namespace korvex
