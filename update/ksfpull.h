// ksfpull - the forgery list updater: fetches the table of permitted sending addresses per
// domain from one of the mirrors named in the mirror file, picked at random for each of up
// to four attempts, and installs an HTTP 200 answer through a temporary file and a rename.
//
// Exports: KsfPaths, kKsfAttempts, load_mirrors, pick_mirror, fetch_into_place, ksfpull_run.
#pragma once

#include <optional>
#include <string>

#include "support/string_list.h"
#include "update/update_paths.h"

namespace korvex {

// Where ksfpull finds its tool and files; tests point these elsewhere.
struct KsfPaths {
  std::string curl = kCurlPath;
  std::string control_dir = kKsfControlDir;
  std::string mirror_file = kKsfMirrorFile;
  std::string table_file = kForgeryTableFile;
};

inline constexpr int kKsfAttempts = 4;

// load_mirrors - the mirror file's entries: comments cut, trimmed, blank lines dropped.
string_list load_mirrors(const std::string& path);

// pick_mirror - one mirror chosen with the pseudo-random generator; none for no mirrors.
std::optional<std::string> pick_mirror(const string_list& mirrors);

// fetch_into_place - fetch url with curl and, on status 200, install the body as target.
bool fetch_into_place(const std::string& curl, const std::string& url, const std::string& target);

// ksfpull_run - the whole run after start-up; returns the exit status.
int ksfpull_run(const KsfPaths& paths);

}  // namespace korvex
