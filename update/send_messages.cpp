// send_messages - alert mail of the update job through the local sendmail.
//
// Exports: see send_messages.h.
#include "update/send_messages.h"

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>

#include "support/common_utils.h"

namespace korvex {

std::optional<std::string> mail_program(const std::vector<std::string>& candidates) {
  for (const std::string& candidate : candidates) {
    if (path_is_executable(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string alert_mail_text(const string_list& messages, const std::string& sender,
                            const std::string& recipient, const std::string& subject,
                            std::time_t now) {
  std::tm local{};
  char date[26] = {};
  // asctime's 24-character form without its line end.
  if (::localtime_r(&now, &local) == nullptr || ::asctime_r(&local, date) == nullptr) date[0] = '\0';
  std::string text = "Subject: " + subject + "\r\n";
  text += "To: <" + recipient + ">\r\n";
  text += "From: <" + sender + ">\r\n";
  text += "Date: <" + std::string(date, date[0] == '\0' ? 0 : 24) + ">\r\n\r\n";
  for (const std::string& message : messages) text += message + "\r\n";
  return text + "\n.\n";
}

bool send_messages(const string_list& messages, const std::string& sender,
                   const std::string& recipient, const std::string& subject,
                   const std::vector<std::string>& programs) {
  const std::time_t now = std::time(nullptr);
  if (messages.empty()) return false;
  const std::optional<std::string> program = mail_program(programs);
  if (!program) return false;
  const std::string command =
      shell_quote(*program) + " -f " + shell_quote(sender) + " " + shell_quote(recipient);
  // A sendmail that exits early must not kill the job with SIGPIPE.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  const bool pipe_signal_ignored = ::sigaction(SIGPIPE, &ignore, &previous) == 0;
  FILE* pipe = ::popen(command.c_str(), "w");
  bool sent = false;
  if (pipe != nullptr) {
    const std::string text = alert_mail_text(messages, sender, recipient, subject, now);
    const bool written = std::fwrite(text.data(), 1, text.size(), pipe) == text.size();
    const int status = ::pclose(pipe);
    sent = written && status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  if (pipe_signal_ignored) (void)::sigaction(SIGPIPE, &previous, nullptr);  // restoring only
  return sent;
}

}  // namespace korvex
