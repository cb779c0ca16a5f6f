// maildir - delivery of accepted messages into a Maildir. See maildir.h.
#include "spp/maildir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.h"

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

bool write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// write_synced - create path (it must not exist), write content and sync it to disk. A
// file it created and could not complete is removed again.
bool write_synced(const std::string& path, const std::string& content, std::string* error) {
  unique_fd file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.valid()) return fail("create " + path, error);
  bool written = write_all(file.get(), content) && fsync(file.get()) == 0;
  if (!written) written = fail("write " + path, error);
  if (::close(file.release()) != 0 && written) written = fail("close " + path, error);
  if (!written) (void)unlink(path.c_str());  // the error reported is the write's
  return written;
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
  if (!write_synced(temporary, content, error)) return false;
  if (rename(temporary.c_str(), final_path.c_str()) != 0) {
    const bool failed = fail("rename " + temporary + " to " + final_path, error);
    (void)unlink(temporary.c_str());  // the error reported is the rename's
    return failed;
  }
  return true;
}

}  // namespace korvex
