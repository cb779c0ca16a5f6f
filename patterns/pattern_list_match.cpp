// pattern_list_match - matching a host name against a pattern list, through the list's index
// where one fits. See pattern_list_match.h.
#include "patterns/pattern_list_match.h"

#include <syslog.h>

#include <bit>
#include <cstdio>
#include <string_view>
#include <vector>

#include "patterns/pattern_index_finder.h"
#include "patterns/pattern_prefilter.h"
#include "support/log_text.h"
#include "support/regex_holder.h"

namespace korvex {
namespace {

// Closes a stdio stream on every path out of a reader.
class file_holder {
 public:
  explicit file_holder(std::FILE* file) : file_(file) {}
  ~file_holder() {
    if (file_ != nullptr) (void)std::fclose(file_);  // read-only: nothing to lose
  }
  file_holder(const file_holder&) = delete;
  file_holder& operator=(const file_holder&) = delete;
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_;
};

// Compile one pattern line and try it on the subject as the plain walk does: 1 on a
// match (logged), -1 when it does not compile (logged), 0 otherwise.
int try_pattern(const char* line, int line_number, const std::string& path,
                const std::string& subject, log_function logger) {
  regex_holder pattern;
  const int code = pattern.compile(line, kPatternFlags);
  if (code != 0) {
    if (logger != nullptr) {
      logger(LOG_INFO, "Warning: checkRegexList(%s): regcomp(line %d): %s", path.c_str(),
             line_number, pattern.error(code, kPatternErrorSize).c_str());
    }
    return -1;
  }
  if (!pattern.matches(subject.c_str())) return 0;
  if (logger != nullptr) {
    logger(LOG_DEBUG, "checkRegexList(%s, line %d): hit [%s][%s]", path.c_str(), line_number,
           blank_control_bytes(subject).c_str(), line);
  }
  return 1;
}

// Say once per rebuild that the index of a list had to be made again, and when it could not
// be kept, why: until that is mended every run compiles the whole list.
void report_rebuild(const found_index& found, const std::string& path, log_function logger) {
  if (logger == nullptr) return;
  if (found.origin == index_origin::rebuilt) {
    logger(LOG_WARNING, "Warning: checkRegexList(%s): no index fits the list, rebuilt %s",
           path.c_str(), found.cached_path.c_str());
  } else if (found.origin == index_origin::not_stored) {
    logger(LOG_WARNING,
           "Warning: checkRegexList(%s): no index fits the list and none can be kept: %s",
           path.c_str(), found.problem.c_str());
  }
}

// Whether one of the record's literals occurs in the subject; false too, with *sound
// cleared, when the literal table is malformed.
bool literal_occurs(const pattern_index_view& index, const pattern_record& record,
                    std::string_view lowered, bool* sound) {
  for (std::size_t n = 0; n < record.literal_count; ++n) {
    std::string_view literal;
    if (!index.literal(record.first_literal + n, &literal)) {
      *sound = false;
      return false;
    }
    if (lowered.find(literal) != std::string_view::npos) return true;
  }
  return false;
}

// The lines of the index to try on the subject, in file order; each is checked before
// anything is logged, so a malformed index can still give way to the plain walk.
bool chosen_records(const pattern_index_view& index, std::string_view lowered,
                    std::vector<pattern_record>* chosen) {
  std::vector<std::uint64_t> marks;
  if (!index.candidates(lowered, &marks)) return false;
  int previous_line = 0;
  bool sound = true;
  for (std::size_t word = 0; word < marks.size(); ++word) {
    for (std::uint64_t bits = marks[word]; bits != 0; bits &= bits - 1) {
      pattern_record record;
      if (!index.record(word * 64 + static_cast<std::size_t>(std::countr_zero(bits)), &record) ||
          record.line_number <= previous_line) {
        return false;
      }
      previous_line = record.line_number;
      if (record.kind != pattern_kind::filtered || literal_occurs(index, record, lowered, &sound)) {
        chosen->push_back(record);
      }
      if (!sound) return false;
    }
  }
  return true;
}

}  // namespace

int __walk_regex_list(std::FILE* list, const std::string& path, const std::string& subject,
                      log_function logger) {
  int result = 0;
  pattern_line_reader lines(list);
  int line_number = 0;
  const char* line = nullptr;
  while (lines.next(&line_number, &line)) {
    const int outcome = try_pattern(line, line_number, path, subject, logger);
    if (outcome == 1) return 1;
    if (outcome < 0) result = -1;
  }
  return result;
}

bool __walk_pattern_index(const pattern_index_view& index, const std::string& path,
                          const std::string& subject, log_function logger, int* result) {
  // The matcher sees the subject as a C string, so the filter judges the same text.
  const std::string lowered = ascii_lowered(subject.c_str());
  std::vector<pattern_record> chosen;
  if (!chosen_records(index, lowered, &chosen)) return false;
  *result = 0;
  for (const pattern_record& record : chosen) {
    if (record.kind == pattern_kind::fails) {
      if (logger != nullptr) {
        const std::string error(record.error);
        logger(LOG_INFO, "Warning: checkRegexList(%s): regcomp(line %d): %s", path.c_str(),
               record.line_number, error.c_str());
      }
      *result = -1;
      continue;
    }
    const std::string line(record.text);
    const int outcome = try_pattern(line.c_str(), record.line_number, path, subject, logger);
    if (outcome == 1) {
      *result = 1;
      return true;
    }
    if (outcome < 0) *result = -1;
  }
  return true;
}

int match_pattern_list(const std::string& path, const std::string& subject,
                       const std::string& index_cache_dir, log_function logger) {
  const file_holder file(std::fopen(path.c_str(), "re"));
  if (file.get() == nullptr) {
    if (logger != nullptr) {
      logger(LOG_INFO, "Warning: checkRegexList(): unable to open file '%s'", path.c_str());
    }
    return -1;
  }
  // The index is judged against the open descriptor, so a list replaced meanwhile cannot be
  // paired with the index of another.
  found_index found;
  find_pattern_index(::fileno(file.get()), path, index_cache_dir, &found);
  report_rebuild(found, path, logger);
  int result = 0;
  if (found.origin != index_origin::none &&
      __walk_pattern_index(found.view, path, subject, logger, &result)) {
    return result;
  }
  return __walk_regex_list(file.get(), path, subject, logger);
}

}  // namespace korvex
