// text_file - whole-file reading for the SMTP front end's small configuration files.
//
// Exports: read_text_file.
#pragma once

#include <string>

namespace korvex {

// read_text_file - the whole content of path; false with *error ("<path>: <reason>") when
// it cannot be read.
bool read_text_file(const std::string& path, std::string* content, std::string* error);

}  // namespace korvex
