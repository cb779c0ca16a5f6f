// sandbox - namespaces, the private file system, and the services of a Sandbox.
#include "tests/e2e/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace korvex::testing {
namespace {

using Status = ::testing::AssertionResult;

// Scratch space for building the mounts; hidden behind the sandbox's own /tmp afterwards.
constexpr const char* kStaging = "/tmp";
// The checkout and the build tree the tests come from: they stay visible wherever they live.
constexpr std::array<const char*, 2> kCheckoutTrees = {KORVEX_SOURCE_DIR, KORVEX_BINARY_DIR};
constexpr std::array<const char*, 3> kOverlaidTrees = {"/etc", "/var", "/usr"};
constexpr std::array<const char*, 7> kFreshDirectories = {
    "/etc/korvex",       "/var/log/korvex", "/var/cache/tarn", "/var/cache/korvex",
    "/var/cores",        "/usr/share/korvex", "/var/qmail"};
constexpr std::array<const char*, 6> kDeviceNodes = {"null", "zero",    "full",
                                                     "random", "urandom", "tty"};
constexpr const char* kResolverConfig = "/etc/resolv.conf";
constexpr const char* kResolverText = "nameserver 127.0.0.1\n";
constexpr const char* kSyslogSocket = "/dev/log";
constexpr const char* kNscdDirectory = "/run/nscd";

std::atomic<bool> sandbox_active{false};

Status failed(const std::string& what) {
  return ::testing::AssertionFailure() << what << ": " << strerror(errno);
}

bool privilege_error(int error) {
  return error == EPERM || error == EACCES || error == ENOSYS || error == EINVAL;
}

std::size_t thread_count() {
  std::size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  (void)closedir(tasks);
  return count;
}

// A joined thread can still be finishing its exit in the kernel, holding a share of the
// process's file-system context; setns into a mount namespace fails with EINVAL until it is
// gone. Its task entry disappears last, so waiting for that one is enough.
bool settled_to_one_thread() {
  constexpr int kAttempts = 2000;  // a millisecond each
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (thread_count() == 1) return true;
    (void)usleep(1000);
  }
  return false;
}

// is_below - whether path lies strictly inside tree ("/tmp/a" is below "/tmp", "/tmpx" is not).
bool is_below(const std::string& path, const std::string& tree) {
  return path.size() > tree.size() + 1 && path.compare(0, tree.size(), tree) == 0 &&
         path[tree.size()] == '/';
}

Status make_directories(const std::string& path, mode_t mode) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      return failed("mkdir " + prefix);
    }
    if (slash == std::string::npos) return ::testing::AssertionSuccess();
  }
}

Status mount_tmpfs(const std::string& path, const std::string& mode) {
  if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("mode=" + mode).c_str()) != 0) {
    return failed("mount tmpfs on " + path);
  }
  return ::testing::AssertionSuccess();
}

Status bind_mount(const std::string& source, const std::string& target, bool recursive) {
  const unsigned long flags = MS_BIND | (recursive ? MS_REC : 0);
  if (mount(source.c_str(), target.c_str(), nullptr, flags, nullptr) != 0) {
    return failed("bind " + source + " on " + target);
  }
  return ::testing::AssertionSuccess();
}

Status detach(const std::string& path) {
  if (umount2(path.c_str(), MNT_DETACH) != 0) return failed("unmount " + path);
  return ::testing::AssertionSuccess();
}

Status bring_loopback_up() {
  const UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!control.valid() || ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
    return failed("read loopback flags");
  }
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  if (ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) return failed("bring loopback up");
  return ::testing::AssertionSuccess();
}

// Mount points in /proc/self/mountinfo use octal escapes for blanks and backslashes.
std::string unescape_mount_point(const std::string& text) {
  std::string result;
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] == '\\' && index + 3 < text.size()) {
      result += static_cast<char>(std::stoi(text.substr(index + 1, 3), nullptr, 8));
      index += 3;
    } else {
      result += text[index];
    }
  }
  return result;
}

// Mounts strictly below tree, outermost only (a recursive bind brings the inner ones).
std::vector<std::string> mounts_below(const std::string& tree) {
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::vector<std::string> points;
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    point = unescape_mount_point(point);
    if (is_below(point, tree)) points.push_back(point);
  }
  std::sort(points.begin(), points.end());
  std::vector<std::string> outermost;
  for (const std::string& point : points) {
    const bool nested = !outermost.empty() && is_below(point, outermost.back());
    if (!nested && (outermost.empty() || outermost.back() != point)) outermost.push_back(point);
  }
  return outermost;
}

// Lays a writable in-memory layer over tree. An overlay shows only the tree's own file
// system, so mounts below it (a container's /etc/hosts, say) are bound back on top.
Status overlay_tree(const std::string& tree) {
  const std::string base = std::string(kStaging) + tree;
  const std::vector<std::string> below = mounts_below(tree);
  Status made = make_directories(base + "/upper", 0755);
  if (made) made = make_directories(base + "/work", 0755);
  if (made) made = make_directories(base + "/host", 0755);
  if (made && !below.empty()) made = bind_mount(tree, base + "/host", true);
  if (!made) return made;
  const std::string options =
      "lowerdir=" + tree + ",upperdir=" + base + "/upper,workdir=" + base + "/work";
  if (mount("overlay", tree.c_str(), "overlay", 0, options.c_str()) != 0) {
    return failed("overlay on " + tree);
  }
  for (const std::string& point : below) {
    made = bind_mount(base + "/host" + point.substr(tree.size()), point, true);
    if (!made) return made;
  }
  return below.empty() ? ::testing::AssertionSuccess() : detach(base + "/host");
}

Status write_whole_file(const std::string& path, std::string_view content, mode_t mode) {
  const UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
  if (!file.valid()) return failed("open " + path);
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t got = write(file.get(), content.data() + written, content.size() - written);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return failed("write " + path);
    written += static_cast<std::size_t>(got);
  }
  // Exactly the mode asked for, whatever the umask took away.
  if (fchmod(file.get(), mode) != 0) return failed("chmod " + path);
  return ::testing::AssertionSuccess();
}

// The real resolv.conf may be a file, a symbolic link or a mount; a private file is bound
// over a plain file standing in its place, so every kind ends up the same.
Status private_resolver_config() {
  const std::string source = std::string(kStaging) + "/resolv.conf";
  Status made = write_whole_file(source, kResolverText, 0644);
  if (!made) return made;
  struct stat info {};
  if (lstat(kResolverConfig, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (unlink(kResolverConfig) != 0 && errno != ENOENT) return failed("unlink resolv.conf");
    made = write_whole_file(kResolverConfig, "", 0644);
    if (!made) return made;
  }
  return bind_mount(source, kResolverConfig, false);
}

Status device_links() {
  const std::array<std::pair<const char*, const char*>, 5> links = {{
      {"/proc/self/fd", "/dev/fd"},
      {"/proc/self/fd/0", "/dev/stdin"},
      {"/proc/self/fd/1", "/dev/stdout"},
      {"/proc/self/fd/2", "/dev/stderr"},
      {"pts/ptmx", "/dev/ptmx"},
  }};
  for (const auto& [target, link] : links) {
    if (symlink(target, link) != 0) return failed(std::string("symlink ") + link);
  }
  return ::testing::AssertionSuccess();
}

// A tmpfs /dev with the host's harmless device nodes bound back, leaving /dev/log free.
Status private_dev() {
  const std::string host_dev = std::string(kStaging) + "/dev";
  Status made = make_directories(host_dev, 0755);
  if (made) made = bind_mount("/dev", host_dev, true);
  if (made) made = mount_tmpfs("/dev", "0755");
  if (!made) return made;
  for (const char* node : kDeviceNodes) {
    const std::string source = host_dev + "/" + node;
    const std::string target = std::string("/dev/") + node;
    if (access(source.c_str(), F_OK) != 0) continue;
    made = write_whole_file(target, "", 0666);
    if (made) made = bind_mount(source, target, false);
    if (!made) return made;
  }
  if (access((host_dev + "/pts").c_str(), F_OK) == 0) {
    made = make_directories("/dev/pts", 0755);
    if (made) made = bind_mount(host_dev + "/pts", "/dev/pts", true);
  }
  if (made) made = make_directories("/dev/shm", 01777);
  if (made) made = mount_tmpfs("/dev/shm", "1777");
  if (made) made = device_links();
  return made ? detach(host_dev) : made;
}

// A host directory that the sandbox's fresh /tmp would hide, held open so that it can be
// bound back at its own path once that /tmp is mounted.
struct KeptDirectory {
  std::string path;
  UniqueFd handle;
};

bool hidden_by_fresh_tmp(const std::string& path) { return is_below(path, kStaging); }

// Opened inside the new mount namespace, before anything covers them: a bind mount takes
// its source only from the caller's own namespace.
Status open_kept_directories(const std::vector<std::string>& paths,
                             std::vector<KeptDirectory>* kept) {
  for (const std::string& path : paths) {
    if (!hidden_by_fresh_tmp(path)) continue;
    const bool nested = std::any_of(kept->begin(), kept->end(), [&path](const KeptDirectory& outer) {
      return path == outer.path || is_below(path, outer.path);
    });
    if (nested) continue;
    KeptDirectory directory{path, UniqueFd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))};
    if (!directory.handle.valid()) return failed("open " + path);
    kept->push_back(std::move(directory));
  }
  return ::testing::AssertionSuccess();
}

Status bind_back(const std::vector<KeptDirectory>& kept) {
  for (const KeptDirectory& directory : kept) {
    Status made = make_directories(directory.path, 0755);
    if (made) {
      made = bind_mount("/proc/self/fd/" + std::to_string(directory.handle.get()), directory.path,
                        true);
    }
    if (!made) return made;
  }
  return ::testing::AssertionSuccess();
}

Status private_files(const std::vector<std::string>& keep_visible,
                     std::vector<std::string>* bound_back) {
  std::vector<KeptDirectory> kept;
  Status made = open_kept_directories(keep_visible, &kept);
  for (const KeptDirectory& directory : kept) bound_back->push_back(directory.path);
  if (made) made = mount_tmpfs(kStaging, "0755");
  for (const char* tree : kOverlaidTrees) {
    if (made) made = overlay_tree(tree);
  }
  for (const char* directory : kFreshDirectories) {
    if (made) made = make_directories(directory, 0755);
    if (made) made = mount_tmpfs(directory, "0755");
  }
  if (made) made = private_resolver_config();
  if (made) made = private_dev();
  // A host name-service cache would answer from the host's DNS; hide its socket.
  if (made && access(kNscdDirectory, F_OK) == 0) made = mount_tmpfs(kNscdDirectory, "0755");
  if (made) made = detach(kStaging);
  if (made) made = mount_tmpfs(kStaging, "1777");
  if (made) made = bind_back(kept);
  return made;
}

// Private paths are absolute, below one of kPrivateRoots, and free of "." and "..".
Status check_private(const std::string& path) {
  const bool under_root = std::any_of(kPrivateRoots.begin(), kPrivateRoots.end(),
                                      [&path](std::string_view root) {
                                        return path.size() > root.size() &&
                                               path.compare(0, root.size(), root) == 0;
                                      });
  std::istringstream parts(path);
  for (std::string part; std::getline(parts, part, '/');) {
    if (part == "." || part == "..") {
      return ::testing::AssertionFailure() << "path with . or ..: " << path;
    }
  }
  if (!under_root) {
    return ::testing::AssertionFailure() << "not a sandbox-private path: " << path;
  }
  return ::testing::AssertionSuccess();
}

std::string parent_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

// The real path of each directory, sorted so that a tree comes before what lies inside it.
std::vector<std::string> directories_to_keep(const std::vector<std::string>& extra) {
  std::vector<std::string> paths(kCheckoutTrees.begin(), kCheckoutTrees.end());
  paths.insert(paths.end(), extra.begin(), extra.end());
  std::vector<std::string> resolved;
  for (const std::string& path : paths) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) continue;  // nothing there to keep
    resolved.emplace_back(real);
    std::free(real);
  }
  std::sort(resolved.begin(), resolved.end());
  return resolved;
}

}  // namespace

Sandbox::Start Sandbox::create(const std::vector<std::string>& keep_visible) {
  Start start;
  if (sandbox_active.exchange(true)) {
    start.failure = Failure::broken;
    start.message = "another sandbox is still active in this process";
    return start;
  }
  std::unique_ptr<Sandbox> sandbox(new Sandbox());
  Start built = sandbox->build(directories_to_keep(keep_visible));
  if (built.failure == Failure::none) built.sandbox = std::move(sandbox);
  // A failed sandbox has already gone back to the host namespaces in its destructor.
  return built;
}

Sandbox::Start Sandbox::build(const std::vector<std::string>& keep_visible) {
  Start start;
  start.failure = Failure::broken;
  if (!settled_to_one_thread()) {
    start.message = "a sandbox must be created while the process has a single thread";
    return start;
  }
  host_mount_ns_.reset(open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC));
  host_net_ns_.reset(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
  host_ipc_ns_.reset(open("/proc/self/ns/ipc", O_RDONLY | O_CLOEXEC));
  host_cwd_.reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!host_mount_ns_.valid() || !host_net_ns_.valid() || !host_ipc_ns_.valid() ||
      !host_cwd_.valid()) {
    start.message = failed("open the host namespaces").message();
    return start;
  }
  if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC) != 0) {
    if (privilege_error(errno)) start.failure = Failure::unavailable;
    start.message = failed("unshare mount, network and IPC namespaces").message();
    return start;
  }
  entered_ = true;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    if (privilege_error(errno)) start.failure = Failure::unavailable;
    start.message = failed("make mounts private").message();
    return start;
  }
  Status made = bring_loopback_up();
  if (made) made = private_files(keep_visible, &kept_paths_);
  if (made) made = syslog_.start(kSyslogSocket);
  if (made) made = dns_.start("127.0.0.1", 53);
  if (made) made = http_.start("127.0.0.1", 80);
  if (made) made = http_alt_.start("127.0.0.1", 0);
  if (!made) {
    start.message = made.message();
    return start;
  }
  start.failure = Failure::none;
  return start;
}

Sandbox::~Sandbox() {
  // Threads first: returning to the host mount namespace needs a single-threaded process.
  http_.stop();
  http_alt_.stop();
  dns_.stop();
  syslog_.stop();
  if (entered_) {
    (void)settled_to_one_thread();  // setns reports it if a thread is really left
    if (setns(host_mount_ns_.get(), CLONE_NEWNS) != 0 ||
        setns(host_net_ns_.get(), CLONE_NEWNET) != 0 ||
        setns(host_ipc_ns_.get(), CLONE_NEWIPC) != 0 || fchdir(host_cwd_.get()) != 0) {
      // Carrying on inside the sandbox would let later tests touch the wrong world.
      std::fprintf(stderr, "sandbox: cannot return to the host namespaces: %s\n",
                   strerror(errno));
      std::abort();
    }
  }
  sandbox_active = false;
}

Status Sandbox::place_file(const std::string& path, std::string_view content, mode_t mode) {
  Status made = check_private(path);
  if (made) made = make_directories(parent_of(path), 0755);
  if (made) made = write_whole_file(path, content, mode);
  return made;
}

Status Sandbox::make_directory(const std::string& path, mode_t mode) {
  Status made = check_private(path);
  if (made) made = make_directories(path, 0755);
  if (made && chmod(path.c_str(), mode) != 0) made = failed("chmod " + path);
  return made;
}

Status Sandbox::install_program(const std::string& source, const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) {
    return ::testing::AssertionFailure() << "bad program name: " << name;
  }
  return install_program_at(source, std::string(kProgramDirectory) + "/" + name);
}

Status Sandbox::install_program_at(const std::string& source, const std::string& destination) {
  const auto program = read_file(source);
  if (!program) return failed("read " + source);
  return place_file(destination, *program, 0755);
}

std::optional<std::string> Sandbox::read_file(const std::string& path) const {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return std::nullopt;
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return content;
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

bool Sandbox::leads_to_kept_directory(const std::string& path) const {
  return std::any_of(kept_paths_.begin(), kept_paths_.end(), [&path](const std::string& kept) {
    return kept == path || is_below(kept, path);
  });
}

std::optional<std::vector<std::string>> Sandbox::list_directory(const std::string& path) const {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return std::nullopt;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && !leads_to_kept_directory(path + "/" + name)) {
      names.push_back(name);
    }
  }
  (void)closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

RunResult Sandbox::run(const std::vector<std::string>& argv, const RunOptions& options) {
  const Status before = syslog_.sync();
  const std::size_t first_line = syslog_.count();
  RunResult result = run_program(argv, options);
  const Status after = syslog_.sync();
  if (!before || !after) {
    result.error += std::string(result.error.empty() ? "" : "; ") +
                    (before ? after.message() : before.message());
  }
  result.syslog = syslog_.lines_from(first_line);
  return result;
}

std::vector<SyslogLine> Sandbox::syslog() {
  // Lines still in the socket belong in the answer too; a failed sync shows in the tests.
  (void)syslog_.sync();
  return syslog_.lines();
}

void SandboxTest::start_sandbox() {
  sandbox_.reset();
  Sandbox::Start start = Sandbox::create();
  if (start.sandbox) {
    sandbox_ = std::move(start.sandbox);
    return;
  }
  const char* ci = std::getenv("CI");
  const bool in_ci = ci != nullptr && std::strcmp(ci, "true") == 0;
  if (start.failure == Sandbox::Failure::unavailable && !in_ci) {
    GTEST_SKIP() << "whole-program test skipped: private namespaces are not available here ("
                 << start.message << "); run as root to include it";
  }
  FAIL() << "no sandbox: " << start.message;
}

}  // namespace korvex::testing
