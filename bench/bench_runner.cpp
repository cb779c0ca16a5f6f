// bench_runner - the sandboxed measurement loop of korvex-bench.
#include "bench/bench_runner.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench/bench_data.h"
#include "lists/list_paths.h"
#include "plugin/plugin_paths.h"
#include "tests/e2e/sandbox.h"
#include "tests/testkit/unique_fd.h"

namespace korvex::bench {
namespace {

namespace fs = std::filesystem;
using korvex::testing::Sandbox;
using korvex::testing::UniqueFd;

constexpr const char* kPluginPath = "/usr/share/korvex/bin/korvex-plesk";
constexpr const char* kBaselinePath = "/usr/share/korvex/bin/korvex-bench-baseline";
// Where --compare puts the other build of the plugin.
constexpr const char* kComparePath = "/usr/share/korvex/bin/korvex-plesk-compare";
constexpr const char* kCallgrindOutput = "/tmp/korvex-bench.callgrind";

// Trees the sandbox replaces with empty ones: data below them would be out of sight (a
// directory below /tmp it is asked to keep stays in sight).
constexpr const char* kHiddenTrees[] = {"/dev",           "/etc/korvex",
                                        "/var/cores", "/var/log/korvex", "/var/cache/tarn",
                                        "/var/qmail", "/usr/share/korvex"};

// The names the sessions' peers have in the loopback DNS: forward and reverse records as a
// well-run mail server has them, and an MX for each sender domain.
constexpr const char* kZone =
    "ptr 192.0.2.10 mail.partner.example\n"
    "a mail.partner.example 192.0.2.10\n"
    "mx partner.example 10 mail.partner.example\n"
    "ptr 198.51.100.7 backup-mx.demo.example\n"
    "a backup-mx.demo.example 198.51.100.7\n"
    "ptr 203.0.113.5 mx.listed.example\n"
    "a mx.listed.example 203.0.113.5\n"
    "mx listed.example 10 mx.listed.example\n"
    "mx spam.example 10 mail.partner.example\n";

struct Session {
  std::string name;
  std::vector<std::string> env;
  std::string verdict;  // how its activity line starts
};

struct DataSet {
  std::string name;
  std::string description;
};

// session_env - what tcpserver, qmail-smtpd and qmail-spp give a plugin at RCPT TO.
std::vector<std::string> session_env(const std::string& ip, const std::string& host,
                                     const std::string& sender) {
  return {"PATH=/usr/bin:/bin",
          "PROTO=TCP",
          "TCPLOCALIP=127.0.0.1",
          "TCPLOCALPORT=25",
          "TCPLOCALHOST=mx.demo.example",
          "TCPREMOTEIP=" + ip,
          "TCPREMOTEPORT=41234",
          "TCPREMOTEHOST=" + host,
          "SMTPHELOHOST=" + host,
          "SMTPMAILFROM=" + sender,
          std::string("SMTPRCPTTO=") + kRecipient};
}

std::vector<Session> all_sessions() {
  return {{"clean", session_env(kCleanIp, kCleanHost, kCleanSender), "HAM:"},
          {"blocked-sender", session_env(kCleanIp, kCleanHost, kBlockedSender), "SPAM["},
          {"exempt-ip", session_env(kExemptIp, kExemptHost, kCleanSender), "IP_EXEMPT:"},
          {"tarn-hit", session_env(kTarnIp, kTarnHost, kTarnSender), "SPAM[block_lists:"}};
}

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// Starts programs through korvex-bench-spawner, whose small image keeps the children's
// peak memory their own (see spawner.c).
class Spawner {
 public:
  Spawner() = default;
  ~Spawner() { stop(); }
  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;

  // start - run the spawner at path, its errors going to null_fd.
  bool start(const std::string& path, int null_fd, std::string* error) {
    int request[2];
    int reply[2];
    if (pipe2(request, O_CLOEXEC) != 0) {
      *error = system_error("pipe");
      return false;
    }
    UniqueFd request_read(request[0]);
    requests_.reset(request[1]);
    if (pipe2(reply, O_CLOEXEC) != 0) {
      *error = system_error("pipe");
      return false;
    }
    replies_.reset(reply[0]);
    const UniqueFd reply_write(reply[1]);
    pid_ = fork();
    if (pid_ < 0) {
      *error = system_error("fork");
      return false;
    }
    if (pid_ == 0) {
      // Only async-signal-safe calls: the parent has threads (DNS, syslog).
      if (dup2(request_read.get(), 0) < 0 || dup2(reply_write.get(), 1) < 0 ||
          dup2(null_fd, 2) < 0) {
        _exit(126);
      }
      (void)close_range(3, ~0U, 0);
      execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }

  // run - start argv[0] with exactly env and wait for it; fails unless it exits 0.
  std::optional<Sample> run(const std::vector<std::string>& argv,
                            const std::vector<std::string>& env, std::string* error) {
    std::string request;
    for (const auto* strings : {&argv, &env}) {
      for (const auto& text : *strings) request.append(text).push_back('\0');
      request.push_back('\0');
    }
    const auto length = static_cast<std::uint32_t>(request.size());
    request.insert(0, reinterpret_cast<const char*>(&length), sizeof length);
    Result result{};
    if (!write_all(request.data(), request.size()) ||
        !read_all(reinterpret_cast<char*>(&result), sizeof result)) {
      *error = "the spawner stopped answering";
      return std::nullopt;
    }
    const int status = result.status;
    if (result.started != 1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      *error = argv[0] + (result.started != 1   ? std::string(" could not be started")
                          : WIFEXITED(status) ? " exited with " + std::to_string(WEXITSTATUS(status))
                                              : " was killed by signal " +
                                                    std::to_string(WTERMSIG(status)));
      return std::nullopt;
    }
    Sample sample;
    sample.wall_ms = static_cast<double>(result.wall_ns) / 1e6;
    sample.cpu_ms = static_cast<double>(result.cpu_us) / 1e3;
    sample.peak_rss_kib = static_cast<long>(result.peak_rss_kib);
    return sample;
  }

 private:
  // The reply layout of spawner.c.
  struct Result {
    std::int32_t started;
    std::int32_t status;
    std::int64_t wall_ns;
    std::int64_t cpu_us;
    std::int64_t peak_rss_kib;
  };

  bool write_all(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t put = write(requests_.get(), data, size);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      data += put;
      size -= static_cast<std::size_t>(put);
    }
    return true;
  }

  bool read_all(char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t got = read(replies_.get(), data, size);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      data += got;
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

  // stop - end of input ends the spawner; wait for it so no process is left behind.
  void stop() {
    requests_.reset();
    replies_.reset();
    if (pid_ > 0) {
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
  }

  pid_t pid_ = -1;
  UniqueFd requests_;
  UniqueFd replies_;
};

// callgrind_total - the "summary:" (or "totals:") figure of a callgrind output file.
std::optional<std::uint64_t> callgrind_total(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    for (const std::string_view key : {"summary: ", "totals: "}) {
      if (line.rfind(key, 0) != 0) continue;
      std::uint64_t total = 0;
      const char* first = line.c_str() + key.size();
      const auto [end, failure] = std::from_chars(first, line.c_str() + line.size(), total);
      if (failure == std::errc() && end != first) return total;
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> count_instructions(const BenchOptions& options, Spawner& spawner,
                                                const std::string& program,
                                                const std::vector<std::string>& env,
                                                std::ostream& err) {
  (void)unlink(kCallgrindOutput);
  std::string error;
  const auto run = spawner.run({options.valgrind, "--tool=callgrind", "--trace-children=no",
                                std::string("--callgrind-out-file=") + kCallgrindOutput, program},
                               env, &error);
  std::optional<std::uint64_t> total;
  if (run) total = callgrind_total(kCallgrindOutput);
  if (!total) err << "korvex-bench: no callgrind count for " << program << ": " << error << "\n";
  (void)unlink(kCallgrindOutput);
  return total;
}

// check_verdict - one run through the sandbox's own runner, whose syslog capture shows the
// activity line: the session must get the verdict it stands for.
bool check_verdict(Sandbox& sandbox, const std::string& plugin, const Session& session,
                   std::string* error) {
  korvex::testing::RunOptions run_options;
  run_options.env = session.env;
  const auto run = sandbox.run({plugin}, run_options);
  sandbox.clear_syslog();
  if (!run.exited_with(0)) {
    *error = "session " + session.name + ": " + run.describe();
    return false;
  }
  std::string seen;
  for (const auto& line : run.syslog) {
    if (line.identity != "korvex-plesk") continue;
    if (line.text.rfind(session.verdict, 0) == 0) return true;
    seen += "\n  " + line.describe();
  }
  *error = "session " + session.name + " did not log a line starting \"" + session.verdict +
           "\"; it logged:" + seen;
  return false;
}

struct Program {
  Measured* measured;
  std::string path;
  const std::vector<std::string>* env;
};

bool measure_programs(Sandbox& sandbox, Spawner& spawner, const std::vector<Program>& programs,
                      int iterations, std::string* error) {
  for (int iteration = 0; iteration < iterations; ++iteration) {
    for (const auto& program : programs) {
      const auto sample = spawner.run({program.path}, *program.env, error);
      if (!sample) return false;
      program.measured->samples.push_back(*sample);
    }
    // The captured lines are of no interest here; do not let them pile up.
    sandbox.clear_syslog();
  }
  return true;
}

std::optional<SetResult> measure_set(Sandbox& sandbox, const BenchOptions& options,
                                     const DataSet& set, const std::vector<Session>& sessions,
                                     int iterations, Spawner& spawner, std::ostream& err) {
  std::string error;
  const std::string source = options.data + "/sets/" + set.name + "/etc/korvex";
  if (mount(source.c_str(), kListDirectory, nullptr, MS_BIND, nullptr) != 0) {
    err << "korvex-bench: " << system_error("bind " + source + " over " + kListDirectory) << "\n";
    return std::nullopt;
  }
  SetResult result{set.name, set.description, {"baseline", {}, std::nullopt}, {}};
  for (const auto& session : sessions) result.sessions.push_back({session.name, {}, std::nullopt});
  // The other build plays the clean session in the same rounds, so that the two compare
  // on equal terms however the machine drifts.
  const bool compare = !options.compare.empty() && set.name == "full";
  if (compare) result.sessions.push_back({sessions.front().name + " (compare)", {}, std::nullopt});
  std::vector<Program> programs = {{&result.baseline, kBaselinePath, &sessions.front().env}};
  for (std::size_t index = 0; index < sessions.size(); ++index) {
    programs.push_back({&result.sessions[index], kPluginPath, &sessions[index].env});
  }
  if (compare) programs.push_back({&result.sessions.back(), kComparePath, &sessions.front().env});
  err << "korvex-bench: data set " << set.name << ", " << iterations << " iterations\n";
  bool measured = true;
  for (const auto& session : sessions) {
    if (measured) measured = check_verdict(sandbox, kPluginPath, session, &error);
  }
  if (measured && compare) measured = check_verdict(sandbox, kComparePath, sessions.front(), &error);
  if (measured) measured = measure_programs(sandbox, spawner, programs, iterations, &error);
  if (measured && options.callgrind) {
    for (const auto& program : programs) {
      program.measured->instructions =
          count_instructions(options, spawner, program.path, *program.env, err);
    }
    sandbox.clear_syslog();
  }
  if (umount2(kListDirectory, 0) != 0) {
    err << "korvex-bench: " << system_error(std::string("unmount ") + kListDirectory) << "\n";
    return std::nullopt;
  }
  if (!measured) {
    err << "korvex-bench: data set " << set.name << ": " << error << "\n";
    return std::nullopt;
  }
  return result;
}

std::optional<std::vector<DataSet>> read_sets(const std::string& data, std::string* error) {
  std::ifstream in(data + "/sets.txt");
  if (!in) {
    *error = "no data sets in " + data + " (run korvex-bench-gen first)";
    return std::nullopt;
  }
  std::vector<DataSet> sets;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) continue;
    sets.push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  if (sets.empty() || sets.front().name != "full") {
    *error = data + "/sets.txt does not start with the data set full";
    return std::nullopt;
  }
  return sets;
}

bool hidden_in_sandbox(const std::string& path) {
  for (const std::string tree : kHiddenTrees) {
    if (path == tree || path.rfind(tree + "/", 0) == 0) return true;
  }
  return false;
}

bool prepare(Sandbox& sandbox, const BenchOptions& options, std::string* error) {
  auto made = sandbox.install_program(options.plugin, "korvex-plesk");
  if (made && !options.compare.empty()) {
    made = sandbox.install_program(options.compare, "korvex-plesk-compare");
  }
  if (made) made = sandbox.install_program(options.baseline, "korvex-bench-baseline");
  if (made) made = sandbox.dns().load_zone(kZone);
  if (!made) {
    *error = made.message();
    return false;
  }
  const std::string tarn = options.data + "/tarn";
  if (mount(tarn.c_str(), kTarnMapDir, nullptr, MS_BIND, nullptr) != 0) {
    *error = system_error("bind " + tarn + " over " + kTarnMapDir);
    return false;
  }
  return true;
}

bool parse_count(const std::string& text, int* value) {
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return failure == std::errc() && end == text.data() + text.size() && *value > 0;
}

std::string read_first_line_with(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "";
}

}  // namespace

std::optional<BenchOptions> parse_bench_arguments(const std::vector<std::string>& arguments,
                                                  BenchOptions defaults, std::string* error) {
  BenchOptions options = std::move(defaults);
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& option = arguments[index];
    if (option == "--no-scaling") {
      options.scaling = false;
      continue;
    }
    if (option == "--no-callgrind") {
      options.callgrind = false;
      continue;
    }
    if (index + 1 == arguments.size()) {
      *error = "unknown option or missing value: " + option;
      return std::nullopt;
    }
    const std::string& value = arguments[++index];
    if (option == "--data") {
      options.data = value;
    } else if (option == "--plugin") {
      options.plugin = value;
    } else if (option == "--compare") {
      options.compare = value;
    } else if (option == "--baseline") {
      options.baseline = value;
    } else if (option == "--valgrind") {
      options.valgrind = value;
    } else if (option == "--iterations" || option == "--scaling-iterations") {
      int* count = option == "--iterations" ? &options.iterations : &options.scaling_iterations;
      if (!parse_count(value, count)) {
        *error = option + " needs a positive number, not " + value;
        return std::nullopt;
      }
    } else {
      *error = "unknown option: " + option;
      return std::nullopt;
    }
  }
  if (options.data.empty() || options.plugin.empty() || options.baseline.empty()) {
    *error = "--data, --plugin and --baseline are needed";
    return std::nullopt;
  }
  return options;
}

Machine machine_facts() {
  Machine machine;
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char date[32] = "";
  if (gmtime_r(&now, &utc) != nullptr) {
    (void)std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
  }
  machine.date = date;
  machine.cpus = sysconf(_SC_NPROCESSORS_ONLN);
  machine.cpu_model = read_first_line_with("/proc/cpuinfo", "model name\t: ");
  std::string system = read_first_line_with("/etc/os-release", "PRETTY_NAME=");
  if (system.size() >= 2 && system.front() == '"' && system.back() == '"') {
    system = system.substr(1, system.size() - 2);
  }
  machine.system = system;
  return machine;
}

int run_benchmark(const BenchOptions& given, std::ostream& out, std::ostream& err) {
  BenchOptions options = given;
  std::error_code failure;
  options.data = fs::absolute(options.data, failure).lexically_normal().string();
  if (!options.data.empty() && options.data.back() == '/') options.data.pop_back();
  if (failure || hidden_in_sandbox(options.data)) {
    err << "korvex-bench: the data directory " << options.data
        << " would be out of sight in the sandbox; generate it elsewhere\n";
    return 1;
  }
  std::string error;
  const auto sets = read_sets(options.data, &error);
  if (!sets) {
    err << "korvex-bench: " << error << "\n";
    return 1;
  }
  if (options.callgrind && access(options.valgrind.c_str(), X_OK) != 0) {
    err << "korvex-bench: " << options.valgrind << " cannot be run; no instruction counts\n";
    options.callgrind = false;
  }
  Report report;
  report.machine = machine_facts();
  report.iterations = options.iterations;
  report.scaling_iterations = options.scaling_iterations;

  auto start = Sandbox::create({options.data});
  if (!start.sandbox) {
    err << "korvex-bench: no sandbox: " << start.message << "\n";
    return 1;
  }
  Sandbox& sandbox = *start.sandbox;
  const UniqueFd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null_fd.valid()) {
    err << "korvex-bench: " << system_error("open /dev/null") << "\n";
    return 1;
  }
  Spawner spawner;
  if (!prepare(sandbox, options, &error) || !spawner.start(options.spawner, null_fd.get(), &error)) {
    err << "korvex-bench: " << error << "\n";
    return 1;
  }
  const auto sessions = all_sessions();
  const std::vector<Session> clean_only(sessions.begin(), sessions.begin() + 1);
  for (const auto& set : *sets) {
    const bool full = set.name == "full";
    if (!full && !options.scaling) continue;
    auto result = measure_set(sandbox, options, set, full ? sessions : clean_only,
                              full ? options.iterations : options.scaling_iterations,
                              spawner, err);
    if (!result) return 1;
    report.sets.push_back(std::move(*result));
  }
  out << format_report(report);
  return 0;
}

}  // namespace korvex::bench
