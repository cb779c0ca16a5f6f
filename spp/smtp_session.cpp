// smtp_session - one SMTP conversation of korvex-smtpd. See smtp_session.h.
#include "spp/smtp_session.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string_view>

#include "spp/line_reader.h"
#include "spp/maildir.h"
#include "support/file_io.h"

namespace korvex {

namespace {

// The variables the front end sets for its plugins; values of the same names in its own
// environment are dropped so a stale one never reaches a plugin.
constexpr std::array<std::string_view, 4> kSessionVariables = {"SMTPHELOHOST", "SMTPMAILFROM",
                                                               "SMTPRCPTTO", "SMTPAUTHUSER"};

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// has_control_characters - a byte no command may carry: it could end a reply or header
// line early or cut an environment value short.
bool has_control_characters(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
  });
}

// parse_path - the address of "FROM:<address> [parameters]" (keyword "FROM:") or of
// "TO:<address> ..."; the angle brackets may be left out. Parameters are ignored.
std::optional<std::string> parse_path(std::string_view argument, std::string_view keyword) {
  if (argument.size() < keyword.size() || upper(argument.substr(0, keyword.size())) != keyword) {
    return std::nullopt;
  }
  std::string_view rest = trimmed(argument.substr(keyword.size()));
  std::string_view address;
  if (!rest.empty() && rest.front() == '<') {
    const auto close = rest.find('>');
    if (close == std::string_view::npos) return std::nullopt;
    address = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && rest.front() != ' ') return std::nullopt;
  } else {
    address = rest.substr(0, rest.find(' '));
  }
  if (address.find_first_of("<> \t") != std::string_view::npos) return std::nullopt;
  return std::string(address);
}

std::optional<std::string> variable(const std::vector<std::string>& environment,
                                    std::string_view name) {
  for (const std::string& entry : environment) {
    if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
        entry[name.size()] == '=') {
      return entry.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

bool is_session_variable(const std::string& entry) {
  return std::any_of(kSessionVariables.begin(), kSessionVariables.end(), [&](std::string_view name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
  });
}

// header_date - the time as a mail header wants it, in UTC so it needs no zone data.
std::string header_date(std::time_t when) {
  tm broken{};
  if (gmtime_r(&when, &broken) == nullptr) return "Thu, 01 Jan 1970 00:00:00 +0000";
  char text[64];
  const std::size_t length = strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &broken);
  return std::string(text, length);
}

class smtp_session {
 public:
  smtp_session(const session_config& config, int input, int output)
      : config_(config),
        output_(output),
        reader_(input, kMaxLineLength, config.client_timeout_seconds) {}

  session_end run();

 private:
  using handler = void (smtp_session::*)(std::string_view argument);
  struct command {
    std::string_view verb;
    handler handle;
  };
  static const std::array<command, 9> commands;

  void dispatch(std::string_view line);
  void helo(std::string_view argument) { greet(argument, false); }
  void ehlo(std::string_view argument) { greet(argument, true); }
  void greet(std::string_view argument, bool extended);
  void mail(std::string_view argument);
  void rcpt(std::string_view argument);
  void data(std::string_view argument);
  void auth(std::string_view argument);
  void rset(std::string_view argument);
  void noop(std::string_view argument);
  void quit(std::string_view argument);

  bool run_rcpt_plugins(const std::string& recipient);
  void log_plugin_run(const std::string& plugin, const std::string& recipient,
                      const plugin_result& result) const;
  std::vector<std::string> plugin_environment(const std::string& recipient) const;
  bool read_message(std::string* message);
  void deliver(const std::string& body);
  std::string received_header() const;
  std::optional<std::string> read_auth_response(std::string_view initial);

  read_status next_line(std::string* line);
  void lose_client(read_status status);
  void reply(std::string_view line);
  bool flush();
  void log(const std::string& line) const {
    if (config_.log) config_.log(line);
  }
  void reset_transaction() {
    mail_from_.reset();
    recipients_.clear();
  }

  const session_config& config_;
  int output_;
  line_reader reader_;
  std::string pending_;  // replies not written yet
  std::optional<session_end> end_;
  std::optional<std::string> helo_;
  bool extended_ = false;
  std::optional<std::string> auth_user_;
  std::optional<std::string> mail_from_;
  std::vector<std::string> recipients_;
  unsigned deliveries_ = 0;
};

const std::array<smtp_session::command, 9> smtp_session::commands = {{
    {"HELO", &smtp_session::helo},
    {"EHLO", &smtp_session::ehlo},
    {"MAIL", &smtp_session::mail},
    {"RCPT", &smtp_session::rcpt},
    {"DATA", &smtp_session::data},
    {"AUTH", &smtp_session::auth},
    {"RSET", &smtp_session::rset},
    {"NOOP", &smtp_session::noop},
    {"QUIT", &smtp_session::quit},
}};

session_end smtp_session::run() {
  reply("220 " + config_.hostname + " ESMTP korvex-smtpd");
  while (!end_) {
    std::string line;
    const read_status status = next_line(&line);
    if (status == read_status::line) {
      dispatch(line);
    } else if (status == read_status::too_long) {
      reply("500 5.5.2 line too long");
    } else {
      lose_client(status);
    }
  }
  if (!flush()) return session_end::failed;
  return *end_;
}

void smtp_session::dispatch(std::string_view line) {
  if (has_control_characters(line)) {
    reply("500 5.5.2 syntax error: control character in command");
    return;
  }
  const auto space = line.find(' ');
  const std::string verb = upper(line.substr(0, space));
  const std::string_view argument =
      space == std::string_view::npos ? std::string_view{} : trimmed(line.substr(space + 1));
  for (const command& known : commands) {
    if (known.verb == verb) {
      (this->*known.handle)(argument);
      return;
    }
  }
  reply("500 5.5.1 command not recognized");
}

void smtp_session::greet(std::string_view argument, bool extended) {
  if (argument.empty()) {
    reply(extended ? "501 5.5.4 syntax: EHLO hostname" : "501 5.5.4 syntax: HELO hostname");
    return;
  }
  helo_ = std::string(argument);
  extended_ = extended;
  reset_transaction();
  if (!extended) {
    reply("250 " + config_.hostname);
    return;
  }
  reply("250-" + config_.hostname);
  reply("250-PIPELINING");
  reply("250-8BITMIME");
  reply("250 AUTH PLAIN");
}

void smtp_session::mail(std::string_view argument) {
  if (mail_from_) {
    reply("503 5.5.1 nested MAIL command");
    return;
  }
  std::optional<std::string> sender = parse_path(argument, "FROM:");
  if (!sender) {
    reply("501 5.5.4 syntax: MAIL FROM:<address>");
    return;
  }
  mail_from_ = std::move(sender);
  reply("250 2.1.0 sender ok");
}

void smtp_session::rcpt(std::string_view argument) {
  if (!mail_from_) {
    reply("503 5.5.1 MAIL first");
    return;
  }
  const std::optional<std::string> recipient = parse_path(argument, "TO:");
  if (!recipient || recipient->empty()) {
    reply("501 5.5.4 syntax: RCPT TO:<address>");
    return;
  }
  if (recipients_.size() >= kMaxRecipients) {
    reply("452 4.5.3 too many recipients");
    return;
  }
  if (!run_rcpt_plugins(*recipient)) return;
  recipients_.push_back(*recipient);
  reply("250 2.1.5 recipient ok");
}

// run_rcpt_plugins - let the plugins decide on one recipient, passing their reply lines
// on; false when one of them refused it (its reply is then complete).
bool smtp_session::run_rcpt_plugins(const std::string& recipient) {
  const std::vector<std::string> environment = plugin_environment(recipient);
  for (const std::string& plugin : config_.rcpt_plugins) {
    const plugin_result result = run_plugin(plugin, environment, config_.plugin_timeout_seconds);
    log_plugin_run(plugin, recipient, result);
    for (const std::string& line : result.reply) reply(line);
    if (result.outcome == plugin_outcome::refused) return false;
  }
  return true;
}

void smtp_session::log_plugin_run(const std::string& plugin, const std::string& recipient,
                                  const plugin_result& result) const {
  std::string line = "korvex-smtpd: plugin " + plugin + " rcpt <" + recipient + ">: ";
  switch (result.outcome) {
    case plugin_outcome::accepted:
      line += "accepted";
      break;
    case plugin_outcome::refused:
      line += "refused: " + result.reply.back();
      break;
    case plugin_outcome::failed:
      line += "failed: " + result.failure;
      break;
  }
  log(line);
}

std::vector<std::string> smtp_session::plugin_environment(const std::string& recipient) const {
  std::vector<std::string> environment;
  for (const std::string& entry : config_.environment) {
    if (!is_session_variable(entry)) environment.push_back(entry);
  }
  if (helo_) environment.push_back("SMTPHELOHOST=" + *helo_);
  environment.push_back("SMTPMAILFROM=" + *mail_from_);
  environment.push_back("SMTPRCPTTO=" + recipient);
  if (auth_user_) environment.push_back("SMTPAUTHUSER=" + *auth_user_);
  return environment;
}

void smtp_session::data(std::string_view argument) {
  if (!argument.empty()) {
    reply("501 5.5.4 syntax: DATA");
    return;
  }
  if (!mail_from_) {
    reply("503 5.5.1 MAIL first");
    return;
  }
  if (recipients_.empty()) {
    reply("554 5.5.1 no valid recipients");
    return;
  }
  reply("354 go ahead, end with <CRLF>.<CRLF>");
  std::string body;
  if (read_message(&body)) deliver(body);
  reset_transaction();
}

// read_message - the message text up to the lone dot, dot-unstuffed, with LF line ends;
// false (with the reply given) when it cannot be taken.
bool smtp_session::read_message(std::string* message) {
  bool too_big = false;
  bool line_too_long = false;
  for (;;) {
    std::string line;
    const read_status status = next_line(&line);
    if (status == read_status::too_long) {
      line_too_long = true;
      continue;
    }
    if (status != read_status::line) {
      lose_client(status);
      return false;
    }
    if (line == ".") break;
    if (!line.empty() && line.front() == '.') line.erase(0, 1);
    if (message->size() + line.size() + 1 > kMaxMessageSize) too_big = true;
    if (too_big) continue;  // read on to the end, storing nothing more
    *message += line;
    *message += '\n';
  }
  if (too_big) {
    reply("552 5.3.4 message too big");
  } else if (line_too_long) {
    reply("554 5.6.0 message has a line longer than " + std::to_string(kMaxLineLength) +
          " bytes");
  }
  return !too_big && !line_too_long;
}

void smtp_session::deliver(const std::string& body) {
  timespec now{};
  (void)clock_gettime(CLOCK_REALTIME, &now);  // cannot fail for CLOCK_REALTIME
  const std::string name = maildir_name(static_cast<long>(now.tv_sec), now.tv_nsec / 1000,
                                        getpid(), ++deliveries_, config_.hostname);
  const std::string content =
      "Return-Path: <" + *mail_from_ + ">\n" + received_header() + body;
  std::string error;
  if (!maildir_deliver(config_.maildir, name, content, &error)) {
    log("korvex-smtpd: delivery failed: " + error);
    reply("451 4.3.0 local delivery failed");
    return;
  }
  reply("250 2.0.0 message accepted");
}

std::string smtp_session::received_header() const {
  const std::string peer = variable(config_.environment, "TCPREMOTEHOST").value_or("unknown");
  std::string address = variable(config_.environment, "TCPREMOTEIP").value_or("unknown");
  // An IPv6 client is named by its address literal, as mail headers write one.
  if (address.find(':') != std::string::npos) address.insert(0, "IPv6:");
  const char* protocol = auth_user_ ? "ESMTPA" : extended_ ? "ESMTP" : "SMTP";
  const std::time_t when = config_.clock ? config_.clock() : std::time(nullptr);
  return "Received: from " + helo_.value_or("unknown") + " (" + peer + " [" + address +
         "])\n\tby " + config_.hostname + " (korvex-smtpd) with " + protocol + "; " +
         header_date(when) + "\n";
}

void smtp_session::auth(std::string_view argument) {
  if (!extended_) {
    reply("503 5.5.1 EHLO first");
    return;
  }
  if (auth_user_) {
    reply("503 5.5.1 already authenticated");
    return;
  }
  if (mail_from_) {
    reply("503 5.5.1 not allowed during a mail transaction");
    return;
  }
  const auto space = argument.find(' ');
  if (upper(argument.substr(0, space)) != "PLAIN") {
    reply("504 5.5.4 unrecognized authentication type");
    return;
  }
  const std::string_view initial =
      space == std::string_view::npos ? std::string_view{} : trimmed(argument.substr(space + 1));
  const std::optional<std::string> response = read_auth_response(initial);
  if (!response) return;
  std::string user;
  switch (check_auth_plain(*response, config_.accounts, &user)) {
    case auth_check::accepted:
      auth_user_ = std::move(user);
      reply("235 2.7.0 authentication successful");
      break;
    case auth_check::rejected:
      reply("535 5.7.8 authentication failed");
      break;
    case auth_check::malformed:
      reply("501 5.5.2 cannot decode response");
      break;
  }
}

// read_auth_response - the client's base64 response: the initial one ("=" stands for an
// empty one) or, without it, the line after a 334 prompt. Absent when the exchange ended
// (the reply is given).
std::optional<std::string> smtp_session::read_auth_response(std::string_view initial) {
  if (!initial.empty()) return std::string(initial == "=" ? "" : initial);
  reply("334 ");
  std::string line;
  const read_status status = next_line(&line);
  if (status == read_status::too_long) {
    reply("501 5.5.2 response too long");
    return std::nullopt;
  }
  if (status != read_status::line) {
    lose_client(status);
    return std::nullopt;
  }
  if (line == "*") {
    reply("501 5.0.0 authentication cancelled");
    return std::nullopt;
  }
  return line;
}

void smtp_session::rset(std::string_view /*argument*/) {
  reset_transaction();
  reply("250 2.0.0 ok");
}

void smtp_session::noop(std::string_view /*argument*/) { reply("250 2.0.0 ok"); }

void smtp_session::quit(std::string_view /*argument*/) {
  reply("221 2.0.0 " + config_.hostname + " closing connection");
  end_ = session_end::quit;
}

// next_line - the client's next line; the replies so far are sent first when answering
// has caught up with what the client sent.
read_status smtp_session::next_line(std::string* line) {
  if (!reader_.has_buffered() && !flush()) return read_status::error;
  return reader_.read_line(line);
}

void smtp_session::lose_client(read_status status) {
  if (end_) return;  // already ended, by a failed write
  if (status == read_status::timeout) {
    reply("421 4.4.2 " + config_.hostname + " timeout, closing connection");
    end_ = session_end::timed_out;
  } else {
    end_ = status == read_status::end ? session_end::client_gone : session_end::failed;
  }
}

void smtp_session::reply(std::string_view line) {
  pending_ += line;
  pending_ += "\r\n";
}

bool smtp_session::flush() {
  if (end_ == session_end::failed) return false;
  const bool written = write_all(output_, pending_);
  pending_.clear();
  if (!written) end_ = session_end::failed;
  return written;
}

}  // namespace

session_end run_smtp_session(const session_config& config, int input, int output) {
  smtp_session session(config, input, output);
  return session.run();
}

}  // namespace korvex
