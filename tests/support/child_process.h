// child_process - run part of a test in a forked child, so that what it changes (signal
// handlers, user ids, resource limits, process-wide pointers) dies with it. The child's
// body returns a report text that the parent receives whole, with the child's status.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace korvex::testing {

struct ChildOutcome {
  std::string report;  // what the body returned (or wrote before dying)
  int status = 0;      // as waitpid gives it
  pid_t pid = -1;

  bool exited_with(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
  bool killed_by(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
};

// Sends text to the parent; usable from a body that never returns.
class ChildChannel {
 public:
  explicit ChildChannel(int fd) : fd_(fd) {}
  int fd() const { return fd_; }
  void send(const std::string& text) const {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

 private:
  int fd_;
};

// run_in_child - fork; the child runs body, sends its result and leaves with _exit(0)
// (no test-framework teardown in the child).
inline ChildOutcome run_in_child(const std::function<std::string(const ChildChannel&)>& body) {
  ChildOutcome outcome;
  int ends[2];
  if (pipe(ends) != 0) {
    ADD_FAILURE() << "pipe failed";
    return outcome;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    const ChildChannel channel(ends[1]);
    channel.send(body(channel));
    _exit(0);
  }
  close(ends[1]);
  outcome.pid = child;
  if (child == -1) {
    ADD_FAILURE() << "fork failed";
    close(ends[0]);
    return outcome;
  }
  char block[4096];
  ssize_t n = 0;
  while ((n = read(ends[0], block, sizeof block)) > 0) outcome.report.append(block, n);
  close(ends[0]);
  waitpid(child, &outcome.status, 0);
  return outcome;
}

}  // namespace korvex::testing
