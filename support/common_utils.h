// common_utils - the small routines every program of the suite links: text fields,
// concatenation and token replacement, temporary file names, file-type tests, extraction
// with regular expressions, running a shell command, quoting for the shell and fetching a
// URL through the external transfer tool. They keep no state and never log; each reports
// by its result and leaves its output as it was when it fails (remote_fetch alone puts its
// error text in the output).
//
// Exports: kTempDirectory, text_field, text_append, text_replace_all, int_to_text,
// temp_file_name, path_is_directory, path_is_file, path_is_executable, regex_extract,
// regex_extract_int, regex_extract_text, run_command, curl_failure_text, shell_quote,
// remote_fetch_command_line, remote_fetch.
#pragma once

#include <string>
#include <string_view>

namespace korvex {

// Where temp_file_name puts its files.
inline constexpr const char* kTempDirectory = "/tmp/";

// text_field - field index (from 0) of source split at separator; empty fields count.
// False when there is no such field or source is empty; field is replaced on success.
bool text_field(unsigned index, std::string* field, std::string_view source, char separator);

// text_append - text followed by appended.
void text_append(std::string* text, std::string_view appended);

// text_replace_all - replace every occurrence of token, left to right; text brought in by
// a replacement is not searched again.
void text_replace_all(std::string* text, std::string_view token, std::string_view replacement);

// int_to_text - value in decimal.
void int_to_text(int value, std::string* text);

// temp_file_name - "/tmp/<prefix>.<process id>": unique per process, not per call.
std::string temp_file_name(std::string_view prefix);

// path_is_directory - path exists and is a directory.
bool path_is_directory(const std::string& path);

// path_is_file - path exists and is a regular file (symbolic links followed).
bool path_is_file(const std::string& path);

// path_is_executable - path is a regular file the caller may read and execute.
bool path_is_executable(const std::string& path);

// regex_extract - the first match of pattern (POSIX extended) in subject, or, with a second
// pattern, the first match of that one from the start of the first match on.
// 0 with output replaced; -1 missing argument, bad first pattern or no memory; -2 no match;
// -3 bad second pattern; -4 second pattern does not match.
int regex_extract(std::string* output, const char* pattern, const char* second_pattern,
                  const char* subject);

// regex_extract_int - as regex_extract, the text read as a decimal number into value.
int regex_extract_int(int* value, const char* pattern, const char* second_pattern,
                      const char* subject);

// regex_extract_text - as regex_extract, but every failure is -1.
int regex_extract_text(std::string* output, const char* pattern, const char* second_pattern,
                       const char* subject);

// run_command - run command_line through /bin/sh. Its exit status (0-255), 128 + signal
// number when it was killed, 255 when no shell could be started, -1 without a command.
int run_command(const char* command_line);

// curl_failure_text - what a transfer's exit status, as run_command gives it, says went
// wrong: curl's own words for its exit codes, or the shell's or the signal's.
std::string curl_failure_text(int status);

// shell_quote - value as one /bin/sh word in which no character is interpreted.
std::string shell_quote(std::string_view value);

// remote_fetch_command_line - the transfer command remote_fetch runs: a POST of post_data
// to url, the body saved in body_file and the response header in header_file.
std::string remote_fetch_command_line(const std::string& tool, const std::string& post_data,
                                      const std::string& options, const std::string& url,
                                      const std::string& body_file, const std::string& header_file);

// remote_fetch - fetch url with the transfer tool. On success output holds the body and
// http_status the response's status code; otherwise output holds the error and
// http_status is 0.
bool remote_fetch(const std::string& tool, const std::string& post_data, const std::string& options,
                  const std::string& url, std::string* output, int* http_status);

}  // namespace korvex
