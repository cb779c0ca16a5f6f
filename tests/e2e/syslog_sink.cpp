// syslog_sink - message parsing and the reading thread of the captured system log.
#include "tests/e2e/syslog_sink.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

namespace korvex::testing {
namespace {

constexpr auto kSyncTimeout = std::chrono::seconds(30);
constexpr std::size_t kMaxDatagram = 65536;

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// "Mmm dd hh:mm:ss " as glibc and logger put it in front of the tag.
bool starts_with_timestamp(std::string_view text) {
  static constexpr std::string_view kShape = "Aaa #9 99:99:99 ";
  if (text.size() < kShape.size()) return false;
  for (std::size_t index = 0; index < kShape.size(); ++index) {
    const char c = text[index];
    const char want = kShape[index];
    const bool fits = (want == 'A' && std::isupper(static_cast<unsigned char>(c))) ||
                      (want == 'a' && std::islower(static_cast<unsigned char>(c))) ||
                      (want == '9' && is_digit(c)) || (want == '#' && (c == ' ' || is_digit(c))) ||
                      (want == c);
    if (!fits) return false;
  }
  return true;
}

std::optional<long> parse_pid(std::string_view text) {
  long pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return pid;
}

// "tag[pid]: text" or "tag: text"; a message without ": " is all text.
void split_tag(std::string_view rest, SyslogLine* line) {
  const std::size_t colon = rest.find(": ");
  if (colon == std::string_view::npos) {
    line->text = std::string(rest);
    return;
  }
  std::string_view tag = rest.substr(0, colon);
  line->text = std::string(rest.substr(colon + 2));
  const std::size_t open = tag.rfind('[');
  if (!tag.empty() && tag.back() == ']' && open != std::string_view::npos) {
    line->pid = parse_pid(tag.substr(open + 1, tag.size() - open - 2));
    tag = tag.substr(0, open);
  }
  line->identity = std::string(tag);
}

std::string_view next_field(std::string_view* rest) {
  const std::size_t space = rest->find(' ');
  const std::string_view field = rest->substr(0, space);
  rest->remove_prefix(space == std::string_view::npos ? rest->size() : space + 1);
  return field;
}

// "1 TIMESTAMP HOST APP PROCID MSGID SD MSG" (the leading "1 " already checked).
void split_rfc5424(std::string_view rest, SyslogLine* line) {
  rest.remove_prefix(2);
  next_field(&rest);  // timestamp
  next_field(&rest);  // host
  const std::string_view app = next_field(&rest);
  const std::string_view procid = next_field(&rest);
  next_field(&rest);  // message id
  if (!rest.empty() && rest.front() == '-') {
    rest.remove_prefix(1);
  } else {
    // Structured data: bracketed elements whose values may hold escaped ']'.
    bool escaped = false;
    bool inside = false;
    std::size_t index = 0;
    for (; index < rest.size(); ++index) {
      const char c = rest[index];
      if (!inside && c != '[') break;
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '[') {
        inside = true;
      } else if (c == ']') {
        inside = false;
      }
    }
    rest.remove_prefix(index);
  }
  if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (rest.substr(0, 3) == kByteOrderMark) rest.remove_prefix(3);
  line->identity = app == "-" ? "" : std::string(app);
  line->pid = parse_pid(procid);
  line->text = std::string(rest);
}

}  // namespace

std::string facility_name(int facility) {
  static constexpr std::array<const char*, 24> kNames = {
      "kern",   "user",   "mail",   "daemon", "auth",   "syslog", "lpr",    "news",
      "uucp",   "cron",   "authpriv", "ftp",  "ntp",    "security", "console", "solaris-cron",
      "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7"};
  const int index = facility >> 3;
  if (facility < 0 || (facility & 7) != 0 || index >= static_cast<int>(kNames.size())) {
    return "facility" + std::to_string(facility);
  }
  return kNames[static_cast<std::size_t>(index)];
}

std::string severity_name(int severity) {
  static constexpr std::array<const char*, 8> kNames = {"emerg",   "alert",  "crit", "err",
                                                        "warning", "notice", "info", "debug"};
  if (severity < 0 || severity > 7) return "severity" + std::to_string(severity);
  return kNames[static_cast<std::size_t>(severity)];
}

std::string SyslogLine::describe() const {
  return facility_name(facility) + "." + severity_name(severity) + " " + identity + ": " + text;
}

std::optional<SyslogLine> parse_syslog_line(std::string_view datagram) {
  const std::size_t close = datagram.find('>');
  if (datagram.empty() || datagram.front() != '<' || close == std::string_view::npos ||
      close < 2 || close > 4) {
    return std::nullopt;
  }
  int priority = 0;
  const char* digits = datagram.data() + 1;
  const auto [end, error] = std::from_chars(digits, datagram.data() + close, priority);
  if (error != std::errc() || end != datagram.data() + close || priority > 191) {
    return std::nullopt;
  }
  SyslogLine line;
  line.facility = priority & LOG_FACMASK;
  line.severity = LOG_PRI(priority);
  std::string_view rest = datagram.substr(close + 1);
  if (rest.substr(0, 2) == "1 ") {
    split_rfc5424(rest, &line);
    return line;
  }
  if (starts_with_timestamp(rest)) rest.remove_prefix(16);
  split_tag(rest, &line);
  return line;
}

SyslogSink::~SyslogSink() { stop(); }

::testing::AssertionResult SyslogSink::start(const std::string& path) {
  if (thread_.joinable()) return ::testing::AssertionFailure() << "syslog sink already running";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return ::testing::AssertionFailure() << "socket path too long: " << path;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (!wakeup_.valid()) return ::testing::AssertionFailure() << "eventfd: " << strerror(errno);
  wakeup_.clear();
  UniqueFd socket_fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid() ||
      bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0) {
    return ::testing::AssertionFailure() << "syslog socket " << path << ": " << strerror(errno);
  }
  path_ = path;
  marker_prefix_ = "<0>korvex-sandbox-sync[" + std::to_string(getpid()) + "]: ";
  socket_ = std::move(socket_fd);
  thread_ = std::thread([this] { read_loop(); });
  return ::testing::AssertionSuccess();
}

void SyslogSink::stop() {
  if (!thread_.joinable()) return;
  wakeup_.signal();
  thread_.join();
  socket_.reset();
}

void SyslogSink::read_loop() {
  std::string buffer(kMaxDatagram, '\0');
  for (;;) {
    if (wait_readable(socket_.get(), wakeup_, -1) != WaitResult::ready) return;
    const ssize_t got = recv(socket_.get(), buffer.data(), buffer.size(), 0);
    if (got < 0) continue;
    record(buffer.substr(0, static_cast<std::size_t>(got)));
  }
}

void SyslogSink::record(std::string datagram) {
  const std::lock_guard lock(mutex_);
  if (datagram.compare(0, marker_prefix_.size(), marker_prefix_) == 0) {
    ++markers_seen_;
    seen_.notify_all();
    return;
  }
  auto line = parse_syslog_line(datagram);
  if (line) {
    lines_.push_back(std::move(*line));
  } else {
    unparsed_.push_back(std::move(datagram));
  }
}

::testing::AssertionResult SyslogSink::sync() {
  if (!thread_.joinable()) return ::testing::AssertionFailure() << "syslog sink not running";
  unsigned long wanted = 0;
  {
    const std::lock_guard lock(mutex_);
    wanted = ++markers_sent_;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  const UniqueFd sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const std::string marker = marker_prefix_ + std::to_string(wanted);
  if (!sender.valid() || sendto(sender.get(), marker.data(), marker.size(), 0,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    return ::testing::AssertionFailure() << "syslog marker: " << strerror(errno);
  }
  std::unique_lock lock(mutex_);
  if (!seen_.wait_for(lock, kSyncTimeout, [&] { return markers_seen_ >= wanted; })) {
    return ::testing::AssertionFailure() << "syslog capture did not catch up";
  }
  return ::testing::AssertionSuccess();
}

std::vector<SyslogLine> SyslogSink::lines() const { return lines_from(0); }

std::vector<SyslogLine> SyslogSink::lines_from(std::size_t index) const {
  const std::lock_guard lock(mutex_);
  if (index >= lines_.size()) return {};
  return {lines_.begin() + static_cast<std::ptrdiff_t>(index), lines_.end()};
}

std::size_t SyslogSink::count() const {
  const std::lock_guard lock(mutex_);
  return lines_.size();
}

void SyslogSink::clear() {
  const std::lock_guard lock(mutex_);
  lines_.clear();
  unparsed_.clear();
}

std::vector<std::string> SyslogSink::unparsed() const {
  const std::lock_guard lock(mutex_);
  return unparsed_;
}

}  // namespace korvex::testing
