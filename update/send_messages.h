// send_messages - alert mail of the update job: picks the local mail submission program
// and pipes one message holding every alert text to it.
//
// Exports: kMailPrograms, mail_program, alert_mail_text, send_messages.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "support/string_list.h"
#include "update/update_paths.h"

namespace korvex {

// Mail submission programs in order of preference.
inline const std::vector<std::string> kMailPrograms = {kQmailSendmailPath, kSystemSendmailPath};

// mail_program - the first candidate that is an executable regular file, or none.
std::optional<std::string> mail_program(const std::vector<std::string>& candidates);

// alert_mail_text - header lines, the messages and the end marker, as written to sendmail.
std::string alert_mail_text(const string_list& messages, const std::string& sender,
                            const std::string& recipient, const std::string& subject,
                            std::time_t now);

// send_messages - mail the messages to recipient; false when nothing could be sent.
bool send_messages(const string_list& messages, const std::string& sender,
                   const std::string& recipient, const std::string& subject,
                   const std::vector<std::string>& programs = kMailPrograms);

}  // namespace korvex
