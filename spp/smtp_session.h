// smtp_session - one SMTP conversation of korvex-smtpd, with the plugin hook at RCPT TO.
//
// The session speaks enough SMTP for real clients: HELO/EHLO (advertising PIPELINING,
// 8BITMIME and AUTH PLAIN), AUTH PLAIN, MAIL FROM, RCPT TO, DATA, RSET, NOOP and QUIT.
// Replies are collected and written only when the client has sent nothing more that is
// waiting to be answered, which is what pipelining clients expect.
//
// At each RCPT TO the rcpt plugins run in order with the front end's environment plus
// SMTPHELOHOST (when a HELO was given), SMTPMAILFROM (empty for <>), SMTPRCPTTO and,
// after a successful AUTH, SMTPAUTHUSER. Their "P" lines go to the client as they are;
// the first "E" line ends the reply and refuses the recipient (later plugins do not run);
// otherwise the recipient is accepted with 250. Every plugin run is logged as one line.
// A message for at least one accepted recipient is stored in the Maildir with a
// Return-Path and a Received header in front.
//
// Exports: session_config, session_end, run_smtp_session, kClientTimeoutSeconds,
// kMaxLineLength, kMaxMessageSize, kMaxRecipients.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "spp/plugin_runner.h"
#include "spp/smtp_auth.h"

namespace korvex {

// How long the client may keep us waiting for its next line.
inline constexpr int kClientTimeoutSeconds = 1200;
// Longest line accepted, commands and message text alike, without its line end.
inline constexpr std::size_t kMaxLineLength = 8192;
// Largest message stored, counted after dot-unstuffing.
inline constexpr std::size_t kMaxMessageSize = 32u << 20;
// Recipients one message may have.
inline constexpr std::size_t kMaxRecipients = 100;

struct session_config {
  std::string hostname;                   // names this server in replies and headers
  std::vector<std::string> rcpt_plugins;  // run in order at each RCPT TO
  credentials accounts;                   // who may AUTH
  std::string maildir;                    // where accepted messages go
  std::vector<std::string> environment;   // "NAME=value"; the base of every plugin's
  int plugin_timeout_seconds = kPluginTimeoutSeconds;
  int client_timeout_seconds = kClientTimeoutSeconds;
  std::function<void(const std::string&)> log;  // one line, without its line end
  std::function<std::time_t()> clock;           // the time for Received; null: the real one
};

enum class session_end { quit, client_gone, timed_out, failed };

// run_smtp_session - greet the client on output, converse until QUIT, end of input, a
// timeout or an I/O error, and say which it was.
session_end run_smtp_session(const session_config& config, int input, int output);

}  // namespace korvex
