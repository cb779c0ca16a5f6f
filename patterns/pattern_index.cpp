// pattern_index - reading pattern lists line by line, and building, writing, reading and
// checking the index kept beside a list.
//
// Exports: see pattern_index.h.

#include "patterns/pattern_index.h"

#include <endian.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "patterns/pattern_prefilter.h"
#include "support/content_digest.h"
#include "support/file_io.h"
#include "support/regex_holder.h"
#include "support/unique_fd.h"

namespace korvex {
namespace {

constexpr char kIndexMagic[8] = {'K', 'V', 'X', 'P', 'I', 'D', 'X', '\n'};
constexpr std::uint32_t kIndexVersion = 4;
// Magic, version, the seven identity fields, the counts of records, literals, lines tried
// on every subject, buckets, postings and string bytes, and the checksum of all that and
// the ids of the lines tried on every subject.
constexpr std::size_t kHeaderSize = 8 + 4 + 7 * 8 + 6 * 4 + 4;
constexpr std::size_t kHeaderChecksumAt = kHeaderSize - 4;
// Line number, kind, error length, text length, text, error and first-literal offsets,
// literal count, and the checksum of the record with its texts and literals.
constexpr std::size_t kRecordSize = 4 + 1 + 1 + 2 + 4 + 4 + 4 + 4 + 4;
constexpr std::size_t kRecordChecksumAt = kRecordSize - 4;
constexpr std::size_t kLiteralSize = 4 + 4;
constexpr std::size_t kKeyLength = 3;
constexpr std::size_t kMostBuckets = 4096;
// Parts of the index read ahead that lie closer than this are read at once: one system call
// costs more than copying these bytes along.
constexpr std::size_t kReadAheadGap = 2048;
// No list the matcher can read in reasonable time has an index larger than this.
constexpr off_t kLargestIndex = off_t{256} << 20;
// Nor a list larger than this.
constexpr std::size_t kLargestList = std::size_t{64} << 20;

// CRC-32 (the reflected 0xEDB88320 polynomial): every part of the index a run reads carries
// one, so that a damaged byte sends the matcher to the list instead of changing a verdict.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t value = n;
    for (int bit = 0; bit < 8; ++bit)
      value = (value & 1) != 0 ? 0xEDB88320U ^ (value >> 1) : value >> 1;
    table[n] = value;
  }
  return table;
}();

// A running checksum: start from 0, add pieces in order.
class checksum {
 public:
  void add(std::string_view bytes) {
    for (const char byte : bytes) {
      state_ = kCrcTable[(state_ ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (state_ >> 8);
    }
  }
  std::uint32_t value() const { return ~state_; }

 private:
  std::uint32_t state_ = 0xFFFFFFFFU;
};

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

// The seven identity fields of the header, in their order.
void put_identity(std::string* out, const pattern_list_identity& identity) {
  for (const std::uint64_t field :
       {identity.inode, identity.size, static_cast<std::uint64_t>(identity.modified_seconds),
        static_cast<std::uint64_t>(identity.modified_nanoseconds),
        static_cast<std::uint64_t>(identity.changed_seconds),
        static_cast<std::uint64_t>(identity.changed_nanoseconds), identity.content_digest}) {
    put_u64(out, field);
  }
}

std::uint32_t get_u32(const char* at) {
  std::uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return le32toh(value);
}

std::uint64_t get_u64(const char* at) {
  std::uint64_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return le64toh(value);
}

// The bucket of a three-byte key; the key's bytes are already folded to lower case.
std::size_t bucket_of(std::string_view key, std::size_t bucket_count) {
  const std::uint32_t packed = static_cast<unsigned char>(key[0]) |
                               static_cast<unsigned char>(key[1]) << 8 |
                               static_cast<unsigned char>(key[2]) << 16;
  return (packed * 2654435761U >> 12) & (bucket_count - 1);
}

std::size_t buckets_for(std::size_t records) {
  std::size_t count = 16;
  while (count < 2 * records && count < kMostBuckets) count *= 2;
  return count;
}

// Words found in the names of a great many mail hosts. A line filed under a piece of one of
// them would be looked at for nearly every peer, so such pieces are chosen only when a
// literal has no other.
constexpr std::string_view kCommonHostWords[] = {
    "mail",      "smtp",     "relay", "host",   "server", "static", "dynamic",
    "pool",      "dsl",      "cable", "client", "dhcp",   "ppp",    "dial",
    "broadband", "customer", "user",  "www",    "com",    "net",    "org"};

bool in_common_host_word(std::string_view key) {
  return std::any_of(
      std::begin(kCommonHostWords), std::end(kCommonHostWords),
      [key](std::string_view word) { return word.find(key) != std::string_view::npos; });
}

// The piece of the literal to file its line under: the rarest by how many literals of the
// list hold it, passing over pieces of common host-name words where the literal has others.
std::string_view rarest_key(std::string_view literal,
                            const std::unordered_map<std::string_view, std::size_t>& frequency) {
  const auto rank = [&frequency](std::string_view key) {
    return std::make_pair(in_common_host_word(key), frequency.at(key));
  };
  std::string_view best = literal.substr(0, kKeyLength);
  for (std::size_t at = 1; at + kKeyLength <= literal.size(); ++at) {
    const std::string_view key = literal.substr(at, kKeyLength);
    if (rank(key) < rank(best)) best = key;
  }
  return best;
}

// How many literals hold each three-byte piece.
std::unordered_map<std::string_view, std::size_t> key_frequency(
    const std::vector<pattern_entry>& entries) {
  std::unordered_map<std::string_view, std::size_t> frequency;
  for (const pattern_entry& entry : entries) {
    for (const std::string& literal : entry.literals) {
      std::unordered_set<std::string_view> seen;
      for (std::size_t at = 0; at + kKeyLength <= literal.size(); ++at) {
        const std::string_view key = std::string_view(literal).substr(at, kKeyLength);
        if (seen.insert(key).second) ++frequency[key];
      }
    }
  }
  return frequency;
}

// Where each line goes: tried on every subject, or filed under one key per literal.
struct line_filing {
  std::vector<std::uint32_t> always;
  std::vector<std::vector<std::uint32_t>> buckets;
};

line_filing file_lines(const std::vector<pattern_entry>& entries) {
  line_filing filing;
  filing.buckets.resize(buckets_for(entries.size()));
  const std::unordered_map<std::string_view, std::size_t> frequency = key_frequency(entries);
  for (std::uint32_t id = 0; id < entries.size(); ++id) {
    const pattern_entry& entry = entries[id];
    const bool short_literal =
        std::any_of(entry.literals.begin(), entry.literals.end(),
                    [](const std::string& literal) { return literal.size() < kKeyLength; });
    if (entry.kind != pattern_kind::filtered || short_literal) {
      filing.always.push_back(id);
      continue;
    }
    for (const std::string& literal : entry.literals) {
      std::vector<std::uint32_t>& bucket =
          filing.buckets[bucket_of(rarest_key(literal, frequency), filing.buckets.size())];
      if (bucket.empty() || bucket.back() != id) bucket.push_back(id);
    }
  }
  return filing;
}

// A section size from a count of fixed-size items, or 0 with *fits false when it cannot
// lie inside the bytes.
std::size_t section(std::size_t count, std::size_t item, std::size_t limit, bool* fits) {
  if (count > limit / item) {
    *fits = false;
    return 0;
  }
  return count * item;
}

pattern_entry judge_line(int line_number, const char* text) {
  pattern_entry entry;
  entry.line_number = line_number;
  entry.text = text;
  regex_holder compiled;
  // Rendered as the matcher renders a compile error.
  if (const int code = compiled.compile(text, kPatternFlags); code != 0) {
    entry.kind = pattern_kind::fails;
    entry.error = compiled.error(code, kPatternErrorSize);
    return entry;
  }
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

std::string failure(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

std::string failure(const char* what, const std::string& path) {
  return failure(what, path, errno);
}

// Read the list and judge its lines, making sure it stayed the same file meanwhile.
bool index_list(const std::string& list_path, std::string* bytes, std::string* problem) {
  const unique_fd list(::open(list_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!list.valid()) {
    *problem = failure("cannot open", list_path);
    return false;
  }
  std::string content;
  struct stat before {};
  struct stat after {};
  if (!read_pattern_list(list.get(), &content, &before) || ::fstat(list.get(), &after) != 0) {
    *problem = failure("cannot read", list_path);
    return false;
  }
  const pattern_list_identity identity = identity_of(before, content);
  if (!same_file(identity, after)) {
    *problem = list_path + " changed while it was read";
    return false;
  }
  const auto entries = build_pattern_entries(content);
  if (!entries) {
    *problem = failure("cannot read", list_path);
    return false;
  }
  *bytes = encode_pattern_index(identity, *entries);
  return true;
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

pattern_list_identity identity_of(const struct stat& status, std::string_view content) {
  pattern_list_identity identity;
  identity.content_digest = content_digest(content);
  identity.inode = status.st_ino;
  identity.size = static_cast<std::uint64_t>(status.st_size);
  identity.modified_seconds = status.st_mtim.tv_sec;
  identity.modified_nanoseconds = status.st_mtim.tv_nsec;
  identity.changed_seconds = status.st_ctim.tv_sec;
  identity.changed_nanoseconds = status.st_ctim.tv_nsec;
  return identity;
}

bool same_file(const pattern_list_identity& indexed, const struct stat& status) {
  pattern_list_identity file = identity_of(status, {});
  file.content_digest = indexed.content_digest;
  return file == indexed;
}

bool same_content(const pattern_list_identity& indexed, std::string_view content) {
  return indexed.size == content.size() && indexed.content_digest == content_digest(content);
}

bool read_pattern_list(int fd, std::string* content, struct stat* status) {
  if (::fstat(fd, status) != 0) return false;
  content->clear();
  // Read to the end rather than to the size fstat gave: a file written meanwhile must not
  // pass for what it held before.
  std::size_t capacity = static_cast<std::size_t>(std::max<off_t>(status->st_size, 0)) + 1;
  while (true) {
    if (capacity > kLargestList + 1) {
      errno = EFBIG;
      return false;
    }
    const std::size_t done = content->size();
    content->resize(capacity);
    const ssize_t got =
        ::pread(fd, content->data() + done, capacity - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      content->resize(done);
      continue;
    }
    if (got < 0) return false;
    content->resize(done + static_cast<std::size_t>(got));
    if (got == 0) return true;
    if (content->size() == capacity) capacity *= 2;
  }
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

std::optional<std::vector<pattern_entry>> build_pattern_entries(std::string_view content) {
  if (content.empty()) return std::vector<pattern_entry>{};
  // Read through the same line reader as a file, so that pieces, NUL bytes and the last
  // line without a newline come out as the plain walk sees them. The stream only reads.
  std::FILE* list = ::fmemopen(const_cast<char*>(content.data()), content.size(), "r");  // NOLINT
  if (list == nullptr) return std::nullopt;
  std::vector<pattern_entry> entries = build_pattern_entries(list);
  (void)std::fclose(list);  // a memory stream opened for reading: nothing to lose
  return entries;
}

std::string encode_pattern_index(const pattern_list_identity& identity,
                                 const std::vector<pattern_entry>& entries) {
  const line_filing filing = file_lines(entries);
  std::string records;
  std::string literals;
  std::string strings;
  std::uint32_t literal_total = 0;
  const auto add_string = [&strings](std::string_view text) {
    const auto offset = static_cast<std::uint32_t>(strings.size());
    strings.append(text);
    return offset;
  };
  for (const pattern_entry& entry : entries) {
    std::string record;
    put_u32(&record, static_cast<std::uint32_t>(entry.line_number));
    record.push_back(static_cast<char>(entry.kind));
    record.push_back(static_cast<char>(entry.error.size()));
    record.push_back(static_cast<char>(entry.text.size()));
    record.push_back(static_cast<char>(entry.text.size() >> 8));
    put_u32(&record, add_string(entry.text));
    put_u32(&record, add_string(entry.error));
    put_u32(&record, literal_total);
    put_u32(&record, static_cast<std::uint32_t>(entry.literals.size()));
    // In the order the reader checks it: the record, its texts, then each literal's table
    // entry and bytes.
    checksum sum;
    sum.add(record);
    sum.add(entry.text);
    sum.add(entry.error);
    for (const std::string& literal : entry.literals) {
      std::string item;
      put_u32(&item, add_string(literal));
      put_u32(&item, static_cast<std::uint32_t>(literal.size()));
      sum.add(item);
      sum.add(literal);
      literals += item;
      ++literal_total;
    }
    put_u32(&record, sum.value());
    records += record;
  }
  std::string out(kIndexMagic, sizeof kIndexMagic);
  put_u32(&out, kIndexVersion);
  put_identity(&out, identity);
  std::size_t posting_total = 0;
  for (const auto& bucket : filing.buckets) posting_total += bucket.size();
  for (const std::size_t count : {entries.size(), std::size_t{literal_total}, filing.always.size(),
                                  filing.buckets.size(), posting_total, strings.size()}) {
    put_u32(&out, static_cast<std::uint32_t>(count));
  }
  std::string always;
  for (const std::uint32_t id : filing.always) put_u32(&always, id);
  checksum header;
  header.add(out);
  header.add(always);
  put_u32(&out, header.value());
  out += always;
  // Each bucket's checksum covers its start, its end and the ids filed in it.
  std::string starts;
  std::string sums;
  std::string postings;
  for (const auto& bucket : filing.buckets) {
    std::string filed;
    put_u32(&filed, static_cast<std::uint32_t>(postings.size() / 4));
    put_u32(&filed, static_cast<std::uint32_t>(postings.size() / 4 + bucket.size()));
    for (const std::uint32_t id : bucket) put_u32(&filed, id);
    checksum sum;
    sum.add(filed);
    put_u32(&sums, sum.value());
    starts.append(filed, 0, 4);
    postings.append(filed, 8);
  }
  put_u32(&starts, static_cast<std::uint32_t>(postings.size() / 4));
  return out + starts + sums + postings + records + literals + strings;
}

bool index_source::open_file(const std::string& path) {
  *this = index_source{};
  unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size <= 0 || status.st_size > kLargestIndex) {
    return false;
  }
  file_ = std::move(file);
  size_ = static_cast<std::size_t>(status.st_size);
  return true;
}

const char* index_source::at(std::size_t offset, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) return nullptr;
  if (!file_.valid()) return whole_.data() + offset;
  if (length == 0) return "";
  // The pieces starting at or before offset, nearest first. Pieces seldom overlap, so one
  // that holds the range is among the first few when the range was read at all; missing it
  // only costs a read.
  auto nearest = pieces_.upper_bound(offset);
  for (int looked = 0; looked < 4 && nearest != pieces_.begin(); ++looked) {
    --nearest;
    const piece& read = nearest->second;
    if (offset + length <= nearest->first + read.length) {
      return read.bytes.get() + (offset - nearest->first);
    }
  }
  piece read{std::make_unique_for_overwrite<char[]>(length), length};
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(file_.get(), read.bytes.get() + done, length - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return nullptr;  // cut short meanwhile, or unreadable
    done += static_cast<std::size_t>(got);
  }
  return pieces_.emplace(offset, std::move(read))->second.bytes.get();
}

void index_source::read_ahead(std::vector<range> ranges) const {
  if (!file_.valid() || ranges.empty()) return;
  std::sort(ranges.begin(), ranges.end(),
            [](const range& a, const range& b) { return a.offset < b.offset; });
  range run = ranges.front();
  const auto read_run = [this](const range& whole) { (void)at(whole.offset, whole.length); };
  for (const range& next : ranges) {
    const std::size_t run_end = run.offset + run.length;
    if (next.offset <= run_end + kReadAheadGap) {
      run.length = std::max(run_end, next.offset + next.length) - run.offset;
    } else {
      read_run(run);
      run = next;
    }
  }
  read_run(run);
}

bool pattern_index_view::open(std::string_view bytes) {
  *this = pattern_index_view{};
  source_ = index_source(bytes);
  return open_sections();
}

bool pattern_index_view::open_file(const std::string& path) {
  *this = pattern_index_view{};
  if (!source_.open_file(path)) return false;
  // One read for the header and, in any list of ordinary size, the ids tried on every
  // subject that follow it.
  (void)source_.at(0, std::min<std::size_t>(source_.size(), 4096));
  return open_sections();
}

bool pattern_index_view::open_sections() {
  const char* header = source_.at(0, kHeaderSize);
  if (header == nullptr || std::memcmp(header, kIndexMagic, sizeof kIndexMagic) != 0 ||
      get_u32(header + 8) != kIndexVersion) {
    return false;
  }
  const char* at = header + 12;
  identity_.inode = get_u64(at);
  identity_.size = get_u64(at + 8);
  identity_.modified_seconds = static_cast<std::int64_t>(get_u64(at + 16));
  identity_.modified_nanoseconds = static_cast<std::int64_t>(get_u64(at + 24));
  identity_.changed_seconds = static_cast<std::int64_t>(get_u64(at + 32));
  identity_.changed_nanoseconds = static_cast<std::int64_t>(get_u64(at + 40));
  identity_.content_digest = get_u64(at + 48);
  at += 56;
  record_count_ = get_u32(at);
  literal_count_ = get_u32(at + 4);
  always_count_ = get_u32(at + 8);
  bucket_count_ = get_u32(at + 12);
  posting_count_ = get_u32(at + 16);
  const std::size_t strings_size = get_u32(at + 20);
  if (bucket_count_ == 0 || (bucket_count_ & (bucket_count_ - 1)) != 0 ||
      bucket_count_ > kMostBuckets) {
    return false;
  }
  // Every section must lie inside the bytes and together they must fill them exactly.
  bool fits = true;
  const std::size_t limit = source_.size();
  always_at_ = kHeaderSize;
  buckets_at_ = always_at_ + section(always_count_, 4, limit, &fits);
  sums_at_ = buckets_at_ + section(bucket_count_ + 1, 4, limit, &fits);
  postings_at_ = sums_at_ + section(bucket_count_, 4, limit, &fits);
  records_at_ = postings_at_ + section(posting_count_, 4, limit, &fits);
  literals_at_ = records_at_ + section(record_count_, kRecordSize, limit, &fits);
  strings_at_ = literals_at_ + section(literal_count_, kLiteralSize, limit, &fits);
  if (!fits || strings_at_ > limit || limit - strings_at_ != strings_size) return false;
  const char* always = source_.at(always_at_, buckets_at_ - always_at_);
  if (always == nullptr) return false;
  checksum sum;
  sum.add(std::string_view(header, kHeaderChecksumAt));
  sum.add(std::string_view(always, buckets_at_ - always_at_));
  return sum.value() == get_u32(header + kHeaderChecksumAt);
}

bool pattern_index_view::record(std::size_t id, pattern_record* record) const {
  if (id >= record_count_) return false;
  const char* at = source_.at(records_at_ + id * kRecordSize, kRecordSize);
  if (at == nullptr) return false;
  const std::uint32_t line_number = get_u32(at);
  const auto kind = static_cast<std::uint8_t>(at[4]);
  const std::size_t error_length = static_cast<unsigned char>(at[5]);
  const std::size_t text_length = static_cast<unsigned char>(at[6]) |
                                  static_cast<std::size_t>(static_cast<unsigned char>(at[7])) << 8;
  const std::size_t text_at = get_u32(at + 8);
  const std::size_t error_at = get_u32(at + 12);
  const std::size_t first_literal = get_u32(at + 16);
  const std::size_t literal_count = get_u32(at + 20);
  const std::size_t strings_size = this->strings_size();
  if (line_number == 0 || line_number > INT_MAX || kind > 2 || text_length == 0 ||
      text_length >= kPatternLineSize || text_at > strings_size ||
      text_length > strings_size - text_at || error_length >= kPatternErrorSize ||
      error_at > strings_size || error_length > strings_size - error_at ||
      first_literal > literal_count_ || literal_count > literal_count_ - first_literal) {
    return false;
  }
  record->line_number = static_cast<int>(line_number);
  record->kind = static_cast<pattern_kind>(kind);
  record->first_literal = first_literal;
  record->literal_count = literal_count;
  // One read for everything of the line that the checks below and the matcher look at.
  const char* entries =
      source_.at(literals_at_ + first_literal * kLiteralSize, literal_count * kLiteralSize);
  if (entries == nullptr) return false;
  const index_source::range span = strings_span(at, entries, literal_count);
  if (source_.at(strings_at_ + span.offset, span.length) == nullptr) return false;
  const char* text = source_.at(strings_at_ + text_at, text_length);
  const char* error = source_.at(strings_at_ + error_at, error_length);
  if (text == nullptr || error == nullptr) return false;
  record->text = std::string_view(text, text_length);
  record->error = std::string_view(error, error_length);
  if (!sound_checksum(at, *record)) return false;
  // Texts go to the matcher and the log as C strings; the kinds carry what they need.
  return record->text.find('\0') == std::string_view::npos &&
         record->error.find('\0') == std::string_view::npos &&
         (record->kind == pattern_kind::filtered) == (literal_count != 0) &&
         (record->kind == pattern_kind::fails || error_length == 0);
}

// The part of the strings section holding a line's text, error and literals, which the
// encoder puts side by side. Only a span to read: the bounds it takes from the record and
// the literal entries are checked when they are used, and those pointing outside the strings
// are left out here.
index_source::range pattern_index_view::strings_span(const char* record_bytes,
                                                     const char* literal_entries,
                                                     std::size_t literal_count) const {
  const std::size_t strings_size = this->strings_size();
  std::size_t low = strings_size;
  std::size_t high = 0;
  const auto cover = [&low, &high, strings_size](std::size_t offset, std::size_t length) {
    if (length == 0 || offset > strings_size || length > strings_size - offset) return;
    low = std::min(low, offset);
    high = std::max(high, offset + length);
  };
  const std::size_t text_length =
      static_cast<unsigned char>(record_bytes[6]) |
      static_cast<std::size_t>(static_cast<unsigned char>(record_bytes[7])) << 8;
  cover(get_u32(record_bytes + 8), text_length);
  cover(get_u32(record_bytes + 12), static_cast<unsigned char>(record_bytes[5]));
  for (std::size_t n = 0; n < literal_count; ++n) {
    cover(get_u32(literal_entries + n * kLiteralSize),
          get_u32(literal_entries + n * kLiteralSize + 4));
  }
  return low < high ? index_source::range{low, high - low} : index_source::range{};
}

// Reads ahead, in a few reads, the records of the marked lines and then their literal
// entries and strings, so that record() and literal() find them already read.
void pattern_index_view::read_ahead_records(const std::vector<std::uint64_t>& marks) const {
  std::vector<std::size_t> marked;
  for (std::size_t word = 0; word < marks.size(); ++word) {
    for (std::uint64_t bits = marks[word]; bits != 0; bits &= bits - 1) {
      marked.push_back(word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
  std::vector<index_source::range> wanted;
  wanted.reserve(marked.size());
  for (const std::size_t id : marked) {
    wanted.push_back({records_at_ + id * kRecordSize, kRecordSize});
  }
  source_.read_ahead(wanted);
  // A record's literal entries, with the literal count checked as record() checks it.
  const auto entries_of = [this](const char* record, std::size_t* count) {
    const std::size_t first = get_u32(record + 16);
    *count = get_u32(record + 20);
    const bool sound = first <= literal_count_ && *count <= literal_count_ - first;
    if (!sound) *count = 0;
    return index_source::range{literals_at_ + (sound ? first : 0) * kLiteralSize,
                               *count * kLiteralSize};
  };
  wanted.clear();
  for (const std::size_t id : marked) {
    const char* record = source_.at(records_at_ + id * kRecordSize, kRecordSize);
    std::size_t count = 0;
    if (record != nullptr) wanted.push_back(entries_of(record, &count));
  }
  source_.read_ahead(wanted);
  wanted.clear();
  for (const std::size_t id : marked) {
    const char* record = source_.at(records_at_ + id * kRecordSize, kRecordSize);
    if (record == nullptr) continue;
    std::size_t count = 0;
    const index_source::range entries = entries_of(record, &count);
    const char* entry_bytes = source_.at(entries.offset, entries.length);
    if (entry_bytes == nullptr) continue;
    const index_source::range span = strings_span(record, entry_bytes, count);
    wanted.push_back({strings_at_ + span.offset, span.length});
  }
  source_.read_ahead(wanted);
}

bool pattern_index_view::sound_checksum(const char* at, const pattern_record& record) const {
  checksum sum;
  sum.add(std::string_view(at, kRecordChecksumAt));
  sum.add(record.text);
  sum.add(record.error);
  for (std::size_t n = record.first_literal; n < record.first_literal + record.literal_count; ++n) {
    std::string_view literal;
    const char* entry = source_.at(literals_at_ + n * kLiteralSize, kLiteralSize);
    if (!this->literal(n, &literal) || entry == nullptr) return false;
    sum.add(std::string_view(entry, kLiteralSize));
    sum.add(literal);
  }
  return sum.value() == get_u32(at + kRecordChecksumAt);
}

bool pattern_index_view::literal(std::size_t n, std::string_view* literal) const {
  if (n >= literal_count_) return false;
  const char* at = source_.at(literals_at_ + n * kLiteralSize, kLiteralSize);
  if (at == nullptr) return false;
  const std::size_t offset = get_u32(at);
  const std::size_t length = get_u32(at + 4);
  const std::size_t strings_size = this->strings_size();
  if (length == 0 || length >= kPatternLineSize || offset > strings_size ||
      length > strings_size - offset) {
    return false;
  }
  const char* text = source_.at(strings_at_ + offset, length);
  if (text == nullptr) return false;
  *literal = std::string_view(text, length);
  return true;
}

bool pattern_index_view::ids(std::size_t offset, std::size_t count,
                             std::vector<std::uint64_t>* marks) const {
  const char* at = source_.at(offset, 4 * count);
  if (at == nullptr) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t id = get_u32(at + 4 * i);
    if (id >= record_count_) return false;
    (*marks)[id / 64] |= std::uint64_t{1} << (id % 64);
  }
  return true;
}

bool pattern_index_view::candidates(std::string_view lowered_subject,
                                    std::vector<std::uint64_t>* marks) const {
  marks->assign((record_count_ + 63) / 64, 0);
  if (!ids(always_at_, always_count_, marks)) return false;
  // The bucket table, its checksums and the ids filed are read at once: a subject looks
  // into a bucket for nearly every one of its pieces.
  if (source_.at(buckets_at_, records_at_ - buckets_at_) == nullptr) return false;
  std::vector<bool> seen(bucket_count_, false);
  for (std::size_t at = 0; at + kKeyLength <= lowered_subject.size(); ++at) {
    const std::size_t bucket = bucket_of(lowered_subject.substr(at, kKeyLength), bucket_count_);
    if (seen[bucket]) continue;
    seen[bucket] = true;
    if (!filed(bucket, marks)) return false;
  }
  read_ahead_records(*marks);
  return true;
}

bool pattern_index_view::complete() const {
  std::vector<std::uint64_t> marks((record_count_ + 63) / 64, 0);
  if (!ids(always_at_, always_count_, &marks)) return false;
  const char* starts = source_.at(buckets_at_, 4 * (bucket_count_ + 1));
  if (starts == nullptr) return false;
  std::size_t previous_end = 0;
  for (std::size_t bucket = 0; bucket < bucket_count_; ++bucket) {
    const std::size_t start = get_u32(starts + 4 * bucket);
    const std::size_t end = get_u32(starts + 4 * (bucket + 1));
    if (start != previous_end || !filed(bucket, &marks)) return false;
    previous_end = end;
  }
  return previous_end == posting_count_;
}

bool pattern_index_view::filed(std::size_t bucket, std::vector<std::uint64_t>* marks) const {
  const char* bounds = source_.at(buckets_at_ + 4 * bucket, 8);
  const char* stored_sum = source_.at(sums_at_ + 4 * bucket, 4);
  if (bounds == nullptr || stored_sum == nullptr) return false;
  const std::size_t start = get_u32(bounds);
  const std::size_t end = get_u32(bounds + 4);
  if (start > end || end > posting_count_) return false;
  const char* postings = source_.at(postings_at_ + 4 * start, 4 * (end - start));
  if (postings == nullptr) return false;
  checksum sum;
  sum.add(std::string_view(bounds, 8));
  sum.add(std::string_view(postings, 4 * (end - start)));
  return sum.value() == get_u32(stored_sum) && ids(postings_at_ + 4 * start, end - start, marks);
}

bool decode_pattern_index(std::string_view bytes, pattern_index* index) {
  *index = pattern_index{};
  pattern_index_view view;
  if (!view.open(bytes)) return false;
  index->identity = view.identity();
  int previous_line = 0;
  for (std::size_t id = 0; id < view.record_count(); ++id) {
    pattern_record record;
    if (!view.record(id, &record) || record.line_number <= previous_line) return false;
    previous_line = record.line_number;
    index->records.push_back(record);
  }
  for (std::size_t n = 0; n < view.literal_count(); ++n) {
    std::string_view literal;
    if (!view.literal(n, &literal)) return false;
    index->literals.push_back(literal);
  }
  return view.complete();
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

bool restamp_pattern_index(std::string* bytes, const struct stat& status) {
  pattern_index index;
  if (!decode_pattern_index(*bytes, &index)) return false;
  pattern_list_identity identity = identity_of(status, {});
  identity.content_digest = index.identity.content_digest;
  std::string header;
  put_identity(&header, identity);
  bytes->replace(12, header.size(), header);
  // The header checksum covers the header and the ids tried on every subject after it.
  const std::size_t always_bytes = 4 * std::size_t{get_u32(bytes->data() + 12 + 56 + 8)};
  checksum sum;
  sum.add(std::string_view(*bytes).substr(0, kHeaderChecksumAt));
  sum.add(std::string_view(*bytes).substr(kHeaderSize, always_bytes));
  std::string stored;
  put_u32(&stored, sum.value());
  bytes->replace(kHeaderChecksumAt, stored.size(), stored);
  return true;
}

bool install_pattern_index(const std::string& index_path, std::string_view bytes,
                           std::string* problem) {
  replace_options options;
  options.exact_mode = true;  // readable by the plugin's user whatever the builder's mask
  const replace_outcome outcome = replace_file(index_path, bytes, 0644, options);
  switch (outcome.failed) {
    case replace_step::none:
      return true;
    case replace_step::create:
      *problem = failure("cannot create", outcome.temporary, outcome.error);
      return false;
    case replace_step::rename:
      *problem = failure("cannot rename to", index_path, outcome.error);
      return false;
    case replace_step::sync_directory:
      // In place, but not yet sure to survive a power failure.
      *problem = failure("cannot sync the directory of", index_path, outcome.error);
      return false;
    case replace_step::write:
    case replace_step::sync:
    case replace_step::close:
      break;
  }
  *problem = failure("cannot write", outcome.temporary, outcome.error);
  return false;
}

bool write_pattern_index(const std::string& list_path, const std::string& index_path,
                         std::string* problem) {
  std::string bytes;
  return index_list(list_path, &bytes, problem) &&
         install_pattern_index(index_path, bytes, problem);
}

}  // namespace korvex
