// syslog_sink - a datagram socket standing in for the system logger, read by a thread.
//
// Bound at /dev/log inside a sandbox, it receives what glibc's openlog/syslog and
// /usr/bin/logger send and keeps each message as a SyslogLine: facility and severity
// split out of the priority, the identity (tag without "[pid]"), the pid when present,
// and the text exactly as sent.
//
// sync() makes the capture deterministic without sleeping: it sends a marker datagram
// through the socket and waits until the reader thread has seen it. Datagrams from one
// socket queue in order, so once the marker is through, everything a finished program
// logged before it is recorded.
//
// Exports: SyslogLine, parse_syslog_line, facility_name, severity_name, SyslogSink.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/testkit/net_util.h"
#include "tests/testkit/unique_fd.h"

namespace korvex::testing {

struct SyslogLine {
  int facility = 0;  // LOG_MAIL, LOG_USER, ... (already shifted, as in <syslog.h>)
  int severity = 0;  // LOG_ERR, LOG_DEBUG, ...
  std::string identity;
  std::optional<long> pid;
  std::string text;

  bool operator==(const SyslogLine&) const = default;
  int priority() const { return facility | severity; }
  // describe - "mail.err korvex-test: text", the form tests compare whole.
  std::string describe() const;
};

// parse_syslog_line - split one datagram (RFC 3164 as glibc sends it, or RFC 5424);
// absent when it does not start with a "<priority>".
std::optional<SyslogLine> parse_syslog_line(std::string_view datagram);

// facility_name / severity_name - the names syslog.conf uses ("mail", "err").
std::string facility_name(int facility);
std::string severity_name(int severity);

class SyslogSink {
 public:
  SyslogSink() = default;
  ~SyslogSink();
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  // start - bind a datagram socket at path (world-writable) and read it on a thread.
  ::testing::AssertionResult start(const std::string& path);
  // stop - stop reading and join the thread; the socket file stays.
  void stop();

  // sync - wait until every datagram sent before this call is recorded.
  ::testing::AssertionResult sync();
  // lines - everything recorded so far (call sync first to include the latest).
  std::vector<SyslogLine> lines() const;
  // lines_from - the lines recorded after the first index of them.
  std::vector<SyslogLine> lines_from(std::size_t index) const;
  std::size_t count() const;
  void clear();
  // unparsed - datagrams that were not syslog messages, kept for diagnosis.
  std::vector<std::string> unparsed() const;

 private:
  void read_loop();
  void record(std::string datagram);

  mutable std::mutex mutex_;
  std::condition_variable seen_;
  std::vector<SyslogLine> lines_;
  std::vector<std::string> unparsed_;
  unsigned long markers_sent_ = 0;
  unsigned long markers_seen_ = 0;
  std::string marker_prefix_;
  std::string path_;
  UniqueFd socket_;
  Wakeup wakeup_;
  std::thread thread_;
};

}  // namespace korvex::testing
