// entry_lines - the entries of a list-shaped file (an administrator list or a control
// file) as the plugin's reader hands them out, each with its physical line number.
//
// Exports: for_each_entry, shown_entry, numbered.
#pragma once

#include <functional>
#include <string>

namespace korvex {

// for_each_entry - take(line number, entry) for every non-empty entry the plugin would read;
// nothing for a file that cannot be opened.
void for_each_entry(const std::string& path,
                    const std::function<void(int line, const std::string& entry)>& take);

// shown_entry - "[entry]", how an entry is shown in a problem line.
std::string shown_entry(const std::string& entry);

// numbered - "path:line", where a problem on one line of a file is reported.
std::string numbered(const std::string& path, int line);

}  // namespace korvex
