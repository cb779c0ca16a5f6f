// plugin_runner - runs one plugin and reads its answer. See plugin_runner.h.
#include "spp/plugin_runner.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.h"

namespace korvex {

namespace {

// A refusal needs a last line; a plugin that gives none still refuses, with this one.
constexpr const char* kDefaultRefusal = "550 5.7.1 recipient refused";

long long monotonic_ms() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);  // cannot fail for CLOCK_MONOTONIC
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int remaining_ms(long long deadline) {
  const long long left = deadline - monotonic_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

// mark_descriptors_cloexec - in the child: no descriptor above 2 survives the exec.
// Marking rather than closing keeps the exec-status pipe working until the exec.
void mark_descriptors_cloexec() {
  if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  const long limit = sysconf(_SC_OPEN_MAX);
  for (int fd = 3; fd < limit; ++fd) (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// start_child - in the child after fork: wire the descriptors and exec; never returns.
[[noreturn]] void start_child(const char* path, char* const argv[], char* const envp[],
                              int null_input, int output, int exec_status) {
  // Own process group, so a plugin that runs too long is killed with its helpers.
  (void)setpgid(0, 0);
  // The front end ignores SIGPIPE; a plugin must get the usual default.
  (void)signal(SIGPIPE, SIG_DFL);
  if (dup2(null_input, 0) < 0 || dup2(output, 1) < 0) {
    const int error = errno;
    (void)!write(exec_status, &error, sizeof error);
    _exit(127);
  }
  mark_descriptors_cloexec();
  execve(path, argv, envp);
  const int error = errno;
  (void)!write(exec_status, &error, sizeof error);
  _exit(127);
}

// exec_error - the errno the child sent when it could not exec, 0 once exec succeeded.
int exec_error(int exec_status) {
  int error = 0;
  ssize_t got;
  do {
    got = read(exec_status, &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

enum class collect_status { complete, timed_out, too_much, read_failed };

// collect_output - read the plugin's output up to end of file or the deadline; a failed
// read leaves its errno in *error.
collect_status collect_output(int output, long long deadline, std::string* text, int* error) {
  for (;;) {
    pollfd wanted{output, POLLIN, 0};
    const int ready = poll(&wanted, 1, remaining_ms(deadline));
    if (ready == 0) return collect_status::timed_out;
    if (ready < 0 && errno == EINTR) continue;
    char chunk[4096];
    const ssize_t got = ready < 0 ? -1 : read(output, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = errno;
      return collect_status::read_failed;
    }
    if (got == 0) return collect_status::complete;
    text->append(chunk, static_cast<std::size_t>(got));
    if (text->size() > kMaxPluginOutput) return collect_status::too_much;
  }
}

// reap - wait for the plugin until the deadline, then kill its group and wait for good.
// Returns the wait status; *killed tells whether we had to kill it.
int reap(pid_t pid, long long deadline, bool kill_now, bool* killed) {
  int status = 0;
  *killed = false;
  while (!kill_now) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return status;
    if (remaining_ms(deadline) == 0) break;
    const timespec pause{0, 10000000L};  // 10 ms
    (void)nanosleep(&pause, nullptr);  // an interrupted pause only shortens the wait
  }
  *killed = true;
  // The group may be gone already or never have formed; the plugin itself is killed anyway.
  (void)kill(-pid, SIGKILL);
  (void)kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string describe_exit(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

plugin_result failed(std::string why) {
  plugin_result result;
  result.failure = std::move(why);
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

plugin_answer parse_plugin_answer(std::string_view output) {
  plugin_answer answer;
  while (!output.empty() && !answer.refused) {
    const auto end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view{} : output.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::string_view text = line.substr(1);
    if (line.front() == 'P') {
      answer.reply.emplace_back(text);
    } else if (line.front() == 'E') {
      answer.reply.emplace_back(text.empty() ? kDefaultRefusal : text);
      answer.refused = true;
    }
  }
  return answer;
}

plugin_result run_plugin(const std::string& path, const std::vector<std::string>& environment,
                         int timeout_seconds) {
  int output_pipe[2];
  int status_pipe[2];
  if (pipe2(output_pipe, O_CLOEXEC) != 0) return failed(std::string("pipe: ") + strerror(errno));
  unique_fd output_read(output_pipe[0]);
  unique_fd output_write(output_pipe[1]);
  if (pipe2(status_pipe, O_CLOEXEC) != 0) return failed(std::string("pipe: ") + strerror(errno));
  const unique_fd status_read(status_pipe[0]);
  unique_fd status_write(status_pipe[1]);
  const unique_fd null_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_input.valid()) return failed(std::string("/dev/null: ") + strerror(errno));

  // Everything the child needs is prepared here: after fork it may only make system calls.
  std::vector<std::string> argv_texts{path};
  std::vector<std::string> env_texts(environment);
  const std::vector<char*> argv = pointers_to(argv_texts);
  const std::vector<char*> envp = pointers_to(env_texts);

  const long long deadline = monotonic_ms() + static_cast<long long>(timeout_seconds) * 1000;
  const pid_t pid = fork();
  if (pid < 0) return failed(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    start_child(path.c_str(), argv.data(), envp.data(), null_input.get(), output_write.get(),
                status_write.get());
  }
  output_write.reset();
  status_write.reset();

  bool killed = false;
  if (const int error = exec_error(status_read.get()); error != 0) {
    (void)reap(pid, deadline, false, &killed);
    return failed(std::string("cannot run: ") + strerror(error));
  }
  std::string output;
  int read_error = 0;
  const collect_status collected =
      collect_output(output_read.get(), deadline, &output, &read_error);
  output_read.reset();
  const int status = reap(pid, deadline, collected != collect_status::complete, &killed);
  switch (collected) {
    case collect_status::timed_out:
      return failed("no answer within " + std::to_string(timeout_seconds) + " seconds");
    case collect_status::too_much:
      return failed("more than " + std::to_string(kMaxPluginOutput) + " bytes of output");
    case collect_status::read_failed:
      return failed(std::string("reading its output: ") + strerror(read_error));
    case collect_status::complete:
      break;
  }
  if (killed) return failed("still running " + std::to_string(timeout_seconds) + " seconds on");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return failed(describe_exit(status));

  plugin_answer answer = parse_plugin_answer(output);
  plugin_result result;
  result.outcome = answer.refused ? plugin_outcome::refused : plugin_outcome::accepted;
  result.reply = std::move(answer.reply);
  return result;
}

}  // namespace korvex
