// pattern_index - the line reader of the pattern lists and the index written beside a list
// ("<list>.index") that lets the matcher pass over expressions with no chance on a subject.
//
// The index names the list it was made from twice: by inode, size and modification and
// change times in nanoseconds, which a reader compares with one fstat, and by a digest of the
// list's bytes, which still fits when the same content lies in another file (a copy, a
// restore, a checkout) and fails on any edit.
// For every line the reader hands out, in order, it keeps the line number, the text, whether
// the text compiles (and the error text when it does not) and the literals of which one must
// occur in any subject the expression matches, or no filter. The file is little-endian
// fixed-width fields: a header, the ids of the lines every subject must try, a table of
// three-byte keys with the ids of the lines filed under each, the line records, the literal
// table and the texts. The header (with the ids every subject tries), each key's ids and
// each line record (with its texts and literals) carry a CRC-32, checked whenever that part
// is read, so a damaged byte makes the index unusable rather than wrong. Each line with a filter is
// filed under the rarest three-byte piece of each of its literals, so a run looks at the few lines
// that share a piece with its subject. Readers check every count, length and offset they use and
// trust nothing.
//
// Exports: kPatternLineSize, kPatternErrorSize, kPatternFlags, kPatternIndexSuffix,
// pattern_line_reader, pattern_list_identity, identity_of, same_file, same_content,
// pattern_kind, pattern_entry, pattern_record, pattern_index, index_source,
// pattern_index_view, pattern_index_path, read_pattern_list, build_pattern_entries,
// encode_pattern_index, decode_pattern_index, load_pattern_index, restamp_pattern_index,
// install_pattern_index, write_pattern_index.
#pragma once

#include <regex.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/unique_fd.h"

namespace korvex {

// Lines are read into a buffer of this size; a longer line arrives in pieces.
inline constexpr int kPatternLineSize = 1024;
// Compile errors are rendered into a buffer of this size.
inline constexpr std::size_t kPatternErrorSize = 80;
// How every pattern line is compiled.
inline constexpr int kPatternFlags = REG_EXTENDED | REG_ICASE | REG_NOSUB;
// Appended to a list's path to name its index.
inline constexpr const char* kPatternIndexSuffix = ".index";

// pattern_line_reader - hands out the lines of a pattern list that are to be compiled, with
// their line numbers: empty and comment lines are passed over but counted.
class pattern_line_reader {
 public:
  explicit pattern_line_reader(std::FILE* file) : file_(file) {}
  // next - the next line to compile; false at the end of the file.
  bool next(int* line_number, const char** text);

 private:
  std::FILE* file_;
  int line_number_ = 0;
  char line_[kPatternLineSize] = {};
};

// What names one list: the file that held it and the bytes it held.
struct pattern_list_identity {
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  std::int64_t changed_seconds = 0;
  std::int64_t changed_nanoseconds = 0;
  std::uint64_t content_digest = 0;
  bool operator==(const pattern_list_identity&) const = default;
};

// identity_of - the identity of the file fstat or stat described, holding content.
pattern_list_identity identity_of(const struct stat& status, std::string_view content);
// same_file - whether the file fstat described is, unchanged, the one an index was made from.
bool same_file(const pattern_list_identity& indexed, const struct stat& status);
// same_content - whether content (of any file) is what an index was made from.
bool same_content(const pattern_list_identity& indexed, std::string_view content);

enum class pattern_kind : std::uint8_t { compiles = 0, filtered = 1, fails = 2 };

// One line of a list as the index builder saw it.
struct pattern_entry {
  int line_number = 0;
  std::string text;
  pattern_kind kind = pattern_kind::compiles;
  std::string error;                  // fails: the compile error as the matcher reports it
  std::vector<std::string> literals;  // filtered: one of these occurs in any match
  bool operator==(const pattern_entry&) const = default;
};

// One line as the decoder found it; the views point into the index bytes.
struct pattern_record {
  int line_number = 0;
  pattern_kind kind = pattern_kind::compiles;
  std::string_view text;
  std::string_view error;
  std::size_t first_literal = 0;  // into the index's literal table
  std::size_t literal_count = 0;
};

// A whole index, decoded and checked throughout.
struct pattern_index {
  pattern_list_identity identity;
  std::vector<pattern_record> records;
  std::vector<std::string_view> literals;
};

// index_source - where a view finds the bytes of an index: in memory, or in a file that is
// read piece by piece as the view asks, so that a run reads only the few parts a subject
// needs. Not mapped: a file cut short while mapped would kill the reader with SIGBUS, while a
// short read is only a malformed index.
class index_source {
 public:
  index_source() = default;
  explicit index_source(std::string_view bytes) : whole_(bytes), size_(bytes.size()) {}
  // open_file - read the regular file at path on demand; false when missing, unreadable,
  // empty or too large.
  bool open_file(const std::string& path);
  std::size_t size() const { return size_; }
  // at - the length bytes at offset, valid as long as the source; nullptr when they lie
  // outside the index or cannot be read whole.
  const char* at(std::size_t offset, std::size_t length) const;

  struct range {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  // read_ahead - read these ranges of a file ahead of their use, those lying close together
  // in one read each; ranges that cannot be read are left for at() to refuse.
  void read_ahead(std::vector<range> ranges) const;

 private:
  std::string_view whole_;
  unique_fd file_;
  std::size_t size_ = 0;
  struct piece {
    std::unique_ptr<char[]> bytes;  // filled by the read, never zeroed first
    std::size_t length = 0;
  };
  // What has been read so far, by offset; the bytes handed out never move.
  mutable std::multimap<std::size_t, piece> pieces_;
};

// pattern_index_view - reads an index where it lies, touching only the parts a subject needs:
// the lines that have to be tried on every subject, and the lines filed under the
// three-byte pieces of the subject. Everything read is checked first.
class pattern_index_view {
 public:
  // open - check the header of an index held in memory and that the sections fill the
  // bytes exactly.
  bool open(std::string_view bytes);
  // open_file - the same for the index file at path, whose parts are read when first used.
  bool open_file(const std::string& path);
  const pattern_list_identity& identity() const { return identity_; }
  std::size_t record_count() const { return record_count_; }
  std::size_t literal_count() const { return literal_count_; }
  // record - line id (0-based, in file order); false when it is malformed.
  bool record(std::size_t id, pattern_record* record) const;
  // literal - entry n of the literal table; false when it is malformed.
  bool literal(std::size_t n, std::string_view* literal) const;
  // candidates - mark (bit id of *marks) every line that may match the lowered subject:
  // those without a filter or with a short literal, and those filed under its pieces.
  bool candidates(std::string_view lowered_subject, std::vector<std::uint64_t>* marks) const;
  // complete - check every bucket and every id filed, as a whole decode does.
  bool complete() const;

 private:
  bool open_sections();
  bool ids(std::size_t offset, std::size_t count, std::vector<std::uint64_t>* marks) const;
  bool filed(std::size_t bucket, std::vector<std::uint64_t>* marks) const;
  void read_ahead_records(const std::vector<std::uint64_t>& marks) const;
  index_source::range strings_span(const char* record_bytes, const char* literal_entries,
                                   std::size_t literal_count) const;
  bool sound_checksum(const char* at, const pattern_record& record) const;
  std::size_t strings_size() const { return source_.size() - strings_at_; }

  index_source source_;
  pattern_list_identity identity_;
  std::size_t record_count_ = 0;
  std::size_t literal_count_ = 0;
  std::size_t always_count_ = 0;
  std::size_t bucket_count_ = 0;
  std::size_t posting_count_ = 0;
  std::size_t always_at_ = 0;
  std::size_t buckets_at_ = 0;
  std::size_t sums_at_ = 0;
  std::size_t postings_at_ = 0;
  std::size_t records_at_ = 0;
  std::size_t literals_at_ = 0;
  std::size_t strings_at_ = 0;
};

// pattern_index_path - where the index of the list at list_path lives.
std::string pattern_index_path(const std::string& list_path);

// read_pattern_list - the whole content of the open list and its fstat; false with errno set
// when it cannot be read (a directory, say) or is larger than any list a run can walk.
bool read_pattern_list(int fd, std::string* content, struct stat* status);

// build_pattern_entries - judge every line of the list to compile: compiles, fails (with its
// error text) or compiles with a filter.
std::vector<pattern_entry> build_pattern_entries(std::FILE* list);
// The same for a list's content; absent when there is no memory to read it through.
std::optional<std::vector<pattern_entry>> build_pattern_entries(std::string_view content);

// encode_pattern_index - the bytes of an index for the list with this identity.
std::string encode_pattern_index(const pattern_list_identity& identity,
                                 const std::vector<pattern_entry>& entries);

// decode_pattern_index - check and parse a whole index; false for anything malformed. The
// views of *index point into bytes.
bool decode_pattern_index(std::string_view bytes, pattern_index* index);

// load_pattern_index - read and decode the index at index_path into *bytes and *index;
// false when it is missing, unreadable or malformed.
bool load_pattern_index(const std::string& index_path, std::string* bytes, pattern_index* index);

// restamp_pattern_index - make the sound index in *bytes name the file status describes as
// its list (a copy of the content it was made from); false, unchanged, when it is malformed.
bool restamp_pattern_index(std::string* bytes, const struct stat& status);

// install_pattern_index - put bytes in place at index_path: a temporary file beside it,
// fsync, rename, fsync of the directory. False with *problem set (the path and the system's
// error text) on failure, with no temporary file left behind.
bool install_pattern_index(const std::string& index_path, std::string_view bytes,
                           std::string* problem);

// write_pattern_index - build the index of the list at list_path and install it at
// index_path.
bool write_pattern_index(const std::string& list_path, const std::string& index_path,
                         std::string* problem);

}  // namespace korvex
