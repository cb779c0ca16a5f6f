// program_runner - fork, exec with an exact environment, collect output, reap.
#include "tests/e2e/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "tests/testkit/unique_fd.h"

extern char** environ;

namespace korvex::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollTickMs = 20;

// Where the child failed before the program could start.
struct ChildFailure {
  int step;  // 0: working directory, 1: execve
  int error;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

bool make_pipe(Pipe* pipe) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe->read.reset(fds[0]);
  pipe->write.reset(fds[1]);
  return true;
}

std::vector<std::string> environment_for(const RunOptions& options) {
  if (!options.inherit_environment) return options.env;
  std::map<std::string, std::string> by_name;
  std::vector<std::string> order;
  const auto put = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (by_name.find(name) == by_name.end()) order.push_back(name);
    by_name[name] = entry;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) put(*entry);
  for (const std::string& entry : options.env) put(entry);
  std::vector<std::string> result;
  for (const std::string& name : order) result.push_back(by_name[name]);
  return result;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The child side of the fork: async-signal-safe calls only. Reports through report_fd
// when it cannot get as far as the program.
[[noreturn]] void become_program(char* const* argv, char* const* envp, const char* directory,
                                 const int (&stdio)[3], int report_fd) {
  (void)setpgid(0, 0);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    (void)sigaction(signal_number, &default_action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int target = 0; target < 3; ++target) {
    if (dup2(stdio[target], target) < 0) _exit(127);
  }
  ChildFailure failure{0, 0};
  if (chdir(directory) == 0) {
    // Everything the test process holds is closed on exec, the report pipe included.
    (void)close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    execve(argv[0], argv, envp);
    failure.step = 1;
  }
  failure.error = errno;
  (void)!write(report_fd, &failure, sizeof failure);
  _exit(127);
}

// Moves input to the program and its output to the result until both outputs close.
class OutputPump {
 public:
  OutputPump(UniqueFd input, UniqueFd out, UniqueFd err, std::string input_text)
      : input_(std::move(input)), out_(std::move(out)), err_(std::move(err)),
        input_text_(std::move(input_text)) {
    if (input_.valid() && input_text_.empty()) input_.reset();
    if (input_.valid()) (void)fcntl(input_.get(), F_SETFL, O_NONBLOCK);
  }
  bool outputs_open() const { return out_.valid() || err_.valid(); }

  // step - one poll round of at most timeout_ms.
  void step(int timeout_ms, RunResult* result) {
    pollfd fds[3];
    int count = 0;
    if (out_.valid()) fds[count++] = {out_.get(), POLLIN, 0};
    if (err_.valid()) fds[count++] = {err_.get(), POLLIN, 0};
    if (input_.valid()) fds[count++] = {input_.get(), POLLOUT, 0};
    if (poll(fds, static_cast<nfds_t>(count), timeout_ms) <= 0) return;
    for (int index = 0; index < count; ++index) {
      if (fds[index].revents == 0) continue;
      if (fds[index].fd == out_.get()) drain(&out_, &result->out);
      else if (fds[index].fd == err_.get()) drain(&err_, &result->err);
      else feed();
    }
  }

 private:
  static void drain(UniqueFd* fd, std::string* into) {
    char buffer[16384];
    const ssize_t got = read(fd->get(), buffer, sizeof buffer);
    if (got > 0) {
      into->append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      fd->reset();
    }
  }
  void feed() {
    const ssize_t sent = write(input_.get(), input_text_.data() + input_offset_,
                               input_text_.size() - input_offset_);
    if (sent > 0) input_offset_ += static_cast<std::size_t>(sent);
    // A program that stops reading (EPIPE) simply does not get the rest.
    if ((sent < 0 && errno != EAGAIN && errno != EINTR) || input_offset_ == input_text_.size()) {
      input_.reset();
    }
  }

  UniqueFd input_;
  UniqueFd out_;
  UniqueFd err_;
  std::string input_text_;
  std::size_t input_offset_ = 0;
};

// Blocks SIGPIPE in this thread while a pipe to the program is written, and throws away
// a SIGPIPE that arrived meanwhile, so a program that exits early cannot kill the test.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    (void)pthread_sigmask(SIG_BLOCK, &pipe_only_, &previous_);
  }
  ~SigpipeGuard() {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_only_, nullptr, &no_wait) == SIGPIPE) {
    }
    (void)pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_only_{};
  sigset_t previous_{};
};

void record_status(int status, RunResult* result) {
  if (WIFEXITED(status)) result->exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
}

// has_ended - whether the program has ended, leaving it unreaped: until it is reaped its
// process id, and so its group's, cannot pass to another program started meanwhile.
bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

int wait_blocking(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Reads the child's report; true when the program started.
bool program_started(UniqueFd report, pid_t pid, const std::string& program, RunResult* result) {
  ChildFailure failure{};
  ssize_t got;
  do {
    got = read(report.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof failure)) return true;
  (void)wait_blocking(pid);
  result->error = std::string(failure.step == 0 ? "chdir: " : "execve " + program + ": ") +
                  strerror(failure.error);
  return false;
}

}  // namespace

std::string RunResult::describe() const {
  std::string text;
  if (!error.empty()) text = "could not run: " + error;
  else if (timed_out) text = "timed out";
  else if (signal != 0) text = "killed by signal " + std::to_string(signal);
  else text = "exit status " + std::to_string(exit_status);
  return text + "\n--- stdout ---\n" + out + "\n--- stderr ---\n" + err;
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  RunResult result;
  if (argv.empty() || argv[0].find('/') == std::string::npos) {
    result.error = "the program must be named by a path";
    return result;
  }
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = environment_for(options);
  const std::vector<char*> argument_pointers = pointers_to(arguments);
  const std::vector<char*> environment_pointers = pointers_to(environment);
  Pipe input;
  Pipe output;
  Pipe errors;
  Pipe report;
  if (!make_pipe(&input) || !make_pipe(&output) || !make_pipe(&errors) || !make_pipe(&report)) {
    result.error = std::string("pipe: ") + strerror(errno);
    return result;
  }
  result.started = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    result.error = std::string("fork: ") + strerror(errno);
    return result;
  }
  if (pid == 0) {
    const int stdio[3] = {input.read.get(), output.write.get(), errors.write.get()};
    become_program(argument_pointers.data(), environment_pointers.data(),
                   options.directory.c_str(), stdio, report.write.get());
  }
  result.pid = pid;
  // Only the child may hold the write ends, so that end of file means the program is done.
  input.read.reset();
  output.write.reset();
  errors.write.reset();
  report.write.reset();
  if (!program_started(std::move(report.read), pid, argv[0], &result)) return result;

  const SigpipeGuard no_sigpipe;
  OutputPump pump(std::move(input.write), std::move(output.read), std::move(errors.read),
                  options.input.value_or(""));
  auto deadline = Clock::now() + std::chrono::seconds(options.timeout_seconds);
  bool reaped = false;
  bool killed = false;
  for (;;) {
    if (!reaped && has_ended(pid)) {
      if (!options.detaches) (void)kill(-pid, SIGKILL);  // what it left behind in its group
      reaped = true;
      record_status(wait_blocking(pid), &result);
    }
    if (reaped && !pump.outputs_open()) break;
    const auto now = Clock::now();
    if (now >= deadline) {
      if (killed) break;  // something outside the group still holds the outputs
      killed = true;
      result.timed_out = !reaped;
      (void)kill(-pid, SIGKILL);
      deadline = now + std::chrono::seconds(5);
    }
    pump.step(reaped ? 100 : kPollTickMs, &result);
  }
  if (!reaped) record_status(wait_blocking(pid), &result);
  result.ended = Clock::now();
  return result;
}

std::vector<RunResult> run_programs(const std::vector<ProgramJob>& jobs, unsigned parallelism) {
  std::vector<RunResult> results(jobs.size());
  std::atomic<std::size_t> next{0};
  const auto worker = [&] {
    for (std::size_t index = next++; index < jobs.size(); index = next++) {
      results[index] = run_program(jobs[index].argv, jobs[index].options);
    }
  };
  const std::size_t thread_count = std::min<std::size_t>(std::max(parallelism, 1U), jobs.size());
  std::vector<std::thread> threads;
  threads.reserve(thread_count);
  for (std::size_t count = 0; count < thread_count; ++count) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();
  return results;
}

}  // namespace korvex::testing
