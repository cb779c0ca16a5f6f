// activity_files - finds the activity file and its rotated copies (kxlog, kxlog.1,
// kxlog.2.gz, ...) and reads one of them, plain or gzip-compressed, in large blocks,
// handing each line (without its line feed) to a sink.
//
// Exports: ActivityFile, LineSink, list_activity_files, read_activity_file.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

struct ActivityFile {
  std::string path;
  bool compressed = false;  // named .gz
  std::time_t modified = 0;
  bool operator==(const ActivityFile&) const = default;
};

// Receives the lines of one file in order; line_number counts from 1.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void line(std::string_view text, std::size_t line_number) = 0;
};

// list_activity_files - the activity files in directory, newest first: "<name>", then
// "<name>.N" and "<name>.N.gz" by ascending N. A directory that cannot be read gives false
// with the reason in *problem; one that lacks the file gives an empty list.
bool list_activity_files(const std::string& directory, const std::string& name,
                         std::vector<ActivityFile>* files, std::string* problem);

// read_activity_file - hand every line of the file to sink; false with the reason in
// *problem when it cannot be opened, read or decompressed (lines already handed on stay).
bool read_activity_file(const ActivityFile& file, LineSink* sink, std::string* problem);

}  // namespace korvex
