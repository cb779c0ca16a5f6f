// pattern_index - reading pattern lists line by line, and building, writing, reading and
// checking the index kept beside a list.
//
// Exports: see pattern_index.h.

#include "lists/pattern_index.h"

#include <endian.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "lists/pattern_prefilter.h"
#include "support/unique_fd.h"

namespace korvex {
namespace {

constexpr char kIndexMagic[8] = {'K', 'V', 'X', 'P', 'I', 'D', 'X', '\n'};
constexpr std::uint32_t kIndexVersion = 1;
// Magic, version, record count and the six identity fields.
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 6 * 8;
constexpr std::size_t kChecksumSize = 8;
// Line number, kind, text length and at least one byte of text.
constexpr std::size_t kSmallestRecord = 4 + 1 + 4 + 1;
// No list the matcher can read in reasonable time has an index larger than this.
constexpr off_t kLargestIndex = off_t{256} << 20;

bool is_comment(const char* line) {
  while (*line != '\0' && std::isspace(static_cast<unsigned char>(*line)) != 0) ++line;
  return *line == '#';
}

void put_u32(std::string* out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void put_u64(std::string* out, std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out->push_back(static_cast<char>(value >> shift));
}

void put_text(std::string* out, std::string_view text) {
  put_u32(out, static_cast<std::uint32_t>(text.size()));
  out->append(text);
}

std::uint64_t get_u64(const char* at) {
  std::uint64_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return le64toh(value);
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
  constexpr std::uint64_t kMultiplier = 0x9fb21c651e98df25ULL;
  hash ^= word;
  return (hash << 31 | hash >> 33) * kMultiplier;
}

// A hash over the whole index, so that damage anywhere sends the matcher back to the list
// itself. Four independent lanes of eight-byte words keep it cheap beside the rest of a run.
std::uint64_t index_checksum(std::string_view bytes) {
  std::uint64_t lanes[4] = {0x6a09e667f3bcc908ULL ^ bytes.size(), 0xbb67ae8584caa73bULL,
                            0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL};
  const char* data = bytes.data();
  std::size_t at = 0;
  for (; at + 32 <= bytes.size(); at += 32) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      lanes[lane] = mix(lanes[lane], get_u64(data + at + 8 * lane));
    }
  }
  for (; at + 8 <= bytes.size(); at += 8) lanes[0] = mix(lanes[0], get_u64(data + at));
  std::uint64_t tail = 0;
  for (std::size_t i = bytes.size(); i > at; --i) {
    tail = tail << 8 | static_cast<unsigned char>(data[i - 1]);
  }
  std::uint64_t hash = mix(lanes[0], tail);
  for (std::size_t lane = 1; lane < 4; ++lane) hash = mix(hash, lanes[lane]);
  return hash ^ hash >> 29;
}

// Bounds-checked reading of little-endian fields; once a read fails every later one does.
class field_reader {
 public:
  explicit field_reader(std::string_view bytes) : bytes_(bytes) {}

  bool u8(std::uint8_t* value) {
    if (!has(1)) return false;
    *value = static_cast<std::uint8_t>(bytes_[at_++]);
    return true;
  }
  bool u32(std::uint32_t* value) {
    if (!has(4)) return false;
    *value = 0;
    for (int i = 3; i >= 0; --i) {
      *value = *value << 8 | static_cast<unsigned char>(bytes_[at_ + static_cast<std::size_t>(i)]);
    }
    at_ += 4;
    return true;
  }
  bool u64(std::uint64_t* value) {
    if (!has(8)) return false;
    *value = get_u64(bytes_.data() + at_);
    at_ += 8;
    return true;
  }
  bool i64(std::int64_t* value) {
    std::uint64_t raw = 0;
    if (!u64(&raw)) return false;
    *value = static_cast<std::int64_t>(raw);
    return true;
  }
  // A length-prefixed text of 1 to most bytes (0 allowed when empty_ok), without NUL.
  bool text(std::size_t most, bool empty_ok, std::string_view* value) {
    std::uint32_t length = 0;
    if (!u32(&length) || length > most || (length == 0 && !empty_ok) || !has(length)) {
      return false;
    }
    *value = bytes_.substr(at_, length);
    at_ += length;
    return value->find('\0') == std::string_view::npos;
  }
  std::size_t remaining() const { return bytes_.size() - at_; }

 private:
  bool has(std::size_t count) const { return count <= bytes_.size() - at_; }

  std::string_view bytes_;
  std::size_t at_ = 0;
};

bool decode_identity(field_reader* fields, pattern_list_identity* identity) {
  return fields->u64(&identity->inode) && fields->u64(&identity->size) &&
         fields->i64(&identity->modified_seconds) &&
         fields->i64(&identity->modified_nanoseconds) && fields->i64(&identity->changed_seconds) &&
         fields->i64(&identity->changed_nanoseconds);
}

bool decode_literals(field_reader* fields, pattern_index* index, pattern_record* record) {
  std::uint32_t count = 0;
  // Each literal takes at least five bytes, which bounds a believable count.
  if (!fields->u32(&count) || count == 0 || count > fields->remaining() / 5) return false;
  record->first_literal = index->literals.size();
  record->literal_count = count;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string_view literal;
    if (!fields->text(kPatternLineSize - 1, false, &literal)) return false;
    index->literals.push_back(literal);
  }
  return true;
}

bool decode_record(field_reader* fields, int previous_line, pattern_index* index) {
  pattern_record record;
  std::uint32_t line_number = 0;
  std::uint8_t kind = 0;
  if (!fields->u32(&line_number) || line_number > INT_MAX ||
      static_cast<int>(line_number) <= previous_line || !fields->u8(&kind) ||
      !fields->text(kPatternLineSize - 1, false, &record.text)) {
    return false;
  }
  record.line_number = static_cast<int>(line_number);
  switch (kind) {
    case static_cast<std::uint8_t>(pattern_kind::compiles):
      record.kind = pattern_kind::compiles;
      break;
    case static_cast<std::uint8_t>(pattern_kind::fails):
      record.kind = pattern_kind::fails;
      if (!fields->text(kPatternErrorSize - 1, true, &record.error)) return false;
      break;
    case static_cast<std::uint8_t>(pattern_kind::filtered):
      record.kind = pattern_kind::filtered;
      if (!decode_literals(fields, index, &record)) return false;
      break;
    default:
      return false;
  }
  index->records.push_back(record);
  return true;
}

// The compile error of a line, rendered as the matcher renders it.
std::string compile_error(int code, const regex_t* compiled) {
  char text[kPatternErrorSize];
  (void)regerror(code, compiled, text, sizeof text);  // the length needed is of no use here
  return text;
}

pattern_entry judge_line(int line_number, const char* text) {
  pattern_entry entry;
  entry.line_number = line_number;
  entry.text = text;
  regex_t compiled{};
  const int code = regcomp(&compiled, text, kPatternFlags);
  if (code != 0) {
    entry.kind = pattern_kind::fails;
    entry.error = compile_error(code, &compiled);
    return entry;
  }
  regfree(&compiled);
  std::optional<std::vector<std::string>> literals = pattern_literals(entry.text);
  if (literals) {
    entry.kind = pattern_kind::filtered;
    entry.literals = std::move(*literals);
  }
  return entry;
}

bool read_whole(int fd, std::size_t size, std::string* bytes) {
  bytes->resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, bytes->data() + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_whole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

std::string failure(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// Read the list and judge its lines, making sure it stayed the same file meanwhile.
bool index_list(const std::string& list_path, std::string* bytes, std::string* problem) {
  std::FILE* list = std::fopen(list_path.c_str(), "re");
  if (list == nullptr) {
    *problem = failure("cannot open", list_path);
    return false;
  }
  struct stat before {};
  struct stat after {};
  bool fine = ::fstat(::fileno(list), &before) == 0;
  const std::vector<pattern_entry> entries = build_pattern_entries(list);
  fine = fine && std::ferror(list) == 0 && ::fstat(::fileno(list), &after) == 0;
  if (!fine) *problem = failure("cannot read", list_path);
  (void)std::fclose(list);  // opened for reading only: nothing to lose
  if (fine && !(identity_of(before) == identity_of(after))) {
    *problem = list_path + " changed while it was read";
    fine = false;
  }
  if (fine) *bytes = encode_pattern_index(identity_of(before), entries);
  return fine;
}

// Write bytes to a fresh temporary file beside index_path and rename it into place.
bool replace_index(const std::string& index_path, std::string_view bytes, std::string* problem) {
  const std::string pattern = index_path + ".XXXXXX";
  std::string temporary = pattern;
  unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) {
    *problem = failure("cannot create", pattern);  // the name tried last is of no use
    return false;
  }
  bool written = ::fchmod(fd.get(), 0644) == 0 && write_whole(fd.get(), bytes) &&
                 ::fsync(fd.get()) == 0;
  written = ::close(fd.release()) == 0 && written;
  if (written && ::rename(temporary.c_str(), index_path.c_str()) == 0) return true;
  *problem = failure(written ? "cannot rename to" : "cannot write", written ? index_path : temporary);
  (void)::unlink(temporary.c_str());  // our own temporary file: nothing else to do if it stays
  return false;
}

}  // namespace

bool pattern_line_reader::next(int* line_number, const char** text) {
  while (std::fgets(line_, sizeof line_, file_) != nullptr) {
    ++line_number_;
    std::size_t length = std::strlen(line_);
    if (length > 0 && line_[length - 1] == '\n') line_[--length] = '\0';
    if (length == 0 || is_comment(line_)) continue;
    *line_number = line_number_;
    *text = line_;
    return true;
  }
  return false;
}

pattern_list_identity identity_of(const struct stat& status) {
  pattern_list_identity identity;
  identity.inode = status.st_ino;
  identity.size = static_cast<std::uint64_t>(status.st_size);
  identity.modified_seconds = status.st_mtim.tv_sec;
  identity.modified_nanoseconds = status.st_mtim.tv_nsec;
  identity.changed_seconds = status.st_ctim.tv_sec;
  identity.changed_nanoseconds = status.st_ctim.tv_nsec;
  return identity;
}

std::string pattern_index_path(const std::string& list_path) {
  return list_path + kPatternIndexSuffix;
}

std::vector<pattern_entry> build_pattern_entries(std::FILE* list) {
  std::vector<pattern_entry> entries;
  pattern_line_reader lines(list);
  int line_number = 0;
  const char* text = nullptr;
  while (lines.next(&line_number, &text)) entries.push_back(judge_line(line_number, text));
  return entries;
}

std::string encode_pattern_index(const pattern_list_identity& identity,
                                 const std::vector<pattern_entry>& entries) {
  std::string out(kIndexMagic, sizeof kIndexMagic);
  put_u32(&out, kIndexVersion);
  put_u32(&out, static_cast<std::uint32_t>(entries.size()));
  put_u64(&out, identity.inode);
  put_u64(&out, identity.size);
  put_u64(&out, static_cast<std::uint64_t>(identity.modified_seconds));
  put_u64(&out, static_cast<std::uint64_t>(identity.modified_nanoseconds));
  put_u64(&out, static_cast<std::uint64_t>(identity.changed_seconds));
  put_u64(&out, static_cast<std::uint64_t>(identity.changed_nanoseconds));
  for (const pattern_entry& entry : entries) {
    put_u32(&out, static_cast<std::uint32_t>(entry.line_number));
    out.push_back(static_cast<char>(entry.kind));
    put_text(&out, entry.text);
    if (entry.kind == pattern_kind::fails) put_text(&out, entry.error);
    if (entry.kind == pattern_kind::filtered) {
      put_u32(&out, static_cast<std::uint32_t>(entry.literals.size()));
      for (const std::string& literal : entry.literals) put_text(&out, literal);
    }
  }
  return __seal_pattern_index(out);
}

std::string __seal_pattern_index(std::string_view body) {
  std::string sealed(body);
  put_u64(&sealed, index_checksum(body));
  return sealed;
}

bool decode_pattern_index(std::string_view bytes, pattern_index* index) {
  *index = pattern_index{};
  if (bytes.size() < kHeaderSize + kChecksumSize ||
      bytes.compare(0, sizeof kIndexMagic, std::string_view(kIndexMagic, sizeof kIndexMagic)) != 0) {
    return false;
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumSize);
  if (get_u64(bytes.data() + body.size()) != index_checksum(body)) return false;
  field_reader fields(body.substr(sizeof kIndexMagic));
  std::uint32_t version = 0;
  std::uint32_t count = 0;
  if (!fields.u32(&version) || version != kIndexVersion || !fields.u32(&count) ||
      !decode_identity(&fields, &index->identity) ||
      count > fields.remaining() / kSmallestRecord) {
    return false;
  }
  index->records.reserve(count);
  int previous_line = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!decode_record(&fields, previous_line, index)) return false;
    previous_line = index->records.back().line_number;
  }
  return fields.remaining() == 0;
}

bool load_pattern_index(const std::string& index_path, std::string* bytes, pattern_index* index) {
  const unique_fd fd(::open(index_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size > kLargestIndex) {
    return false;
  }
  return read_whole(fd.get(), static_cast<std::size_t>(status.st_size), bytes) &&
         decode_pattern_index(*bytes, index);
}

bool write_pattern_index(const std::string& list_path, const std::string& index_path,
                         std::string* problem) {
  std::string bytes;
  return index_list(list_path, &bytes, problem) && replace_index(index_path, bytes, problem);
}

}  // namespace korvex
