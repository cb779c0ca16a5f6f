// maildir - delivery of accepted messages into a Maildir.
//
// A message is written whole into tmp/ under a name no other delivery uses, synced, and
// only then renamed into new/, so a reader of new/ never sees half a message and a
// failed delivery leaves nothing behind. Missing tmp/, new/ and cur/ (and the Maildir
// itself) are created.
//
// Exports: maildir_name, maildir_deliver.
#pragma once

#include <string>
#include <sys/types.h>

namespace korvex {

// maildir_name - the unique file name "<seconds>.M<microseconds>P<pid>Q<sequence>.<host>";
// "/" and ":" in the host name are written as "\057" and "\072".
std::string maildir_name(long seconds, long microseconds, pid_t pid, unsigned sequence,
                         const std::string& host);

// maildir_deliver - store content as one message under file name; false with *error
// saying what failed.
bool maildir_deliver(const std::string& maildir, const std::string& name,
                     const std::string& content, std::string* error);

}  // namespace korvex
