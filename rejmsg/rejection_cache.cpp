// rejection_cache - SysV shared-memory cache of custom rejection messages. See
// rejection_cache.h.
//
// The length word is never trusted on its own: a negative one, or one whose text would
// run past the end of the segment as the kernel sizes it, makes the segment count as
// holding no message. Readers attach read-only, so segments need no write permission
// for anyone but their creator; segments made world-writable by older builds still read.
//
// A new segment is visible to readers from the moment it is created, zero-filled. The
// text is therefore copied in first and the length word published last, in one aligned
// 32-bit store; a reader that finds a length of zero is looking at a segment still being
// filled and takes it as no message (the built-in reply), never as an empty or cut text.
#include "rejmsg/rejection_cache.h"

#include <endian.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

namespace korvex {

namespace {

// Read permission only: the cache is looked up, never created, by readers.
constexpr int kReadAccess = 0400;

// segment_attachment - one attachment of a segment, detached when it goes out of scope.
class segment_attachment {
 public:
  segment_attachment(int shmid, bool writable)
      : address_(shmat(shmid, nullptr, writable ? 0 : SHM_RDONLY)) {}
  ~segment_attachment() {
    // A failed detach leaves nothing to repair; the mapping goes with the process.
    if (attached()) (void)shmdt(address_);
  }
  segment_attachment(const segment_attachment&) = delete;
  segment_attachment& operator=(const segment_attachment&) = delete;

  // shmat reports failure as the address (void*)-1.
  bool attached() const { return reinterpret_cast<std::intptr_t>(address_) != -1; }
  unsigned char* bytes() const { return static_cast<unsigned char*>(address_); }

 private:
  void* address_;
};

void report(log_function log, const char* text) {
  if (log != nullptr) log(LOG_DEBUG, "%s", text);
}

std::optional<key_t> rejection_key(int id, const char* key_file) {
  const key_t key = ftok(key_file, id);
  if (key == static_cast<key_t>(-1)) return std::nullopt;
  return key;
}

// length_word - the little-endian length word at the start of an attached segment, which
// shmat places on a page boundary.
std::atomic_ref<std::uint32_t> length_word(unsigned char* bytes) {
  return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(bytes));
}

// read_length_word - the length word; what the writer copied before publishing it is
// visible once it is.
std::int32_t read_length_word(unsigned char* bytes) {
  return static_cast<std::int32_t>(le32toh(length_word(bytes).load(std::memory_order_acquire)));
}

// publish_length_word - store the length word after the text, in one store.
void publish_length_word(unsigned char* bytes, std::uint32_t length) {
  length_word(bytes).store(htole32(length), std::memory_order_release);
}

// segment_size - the segment's real size as the kernel reports it, 0 when unknown.
std::size_t segment_size(int shmid) {
  shmid_ds info{};
  if (shmctl(shmid, IPC_STAT, &info) == -1) return 0;
  return info.shm_segsz;
}

// text_length - the length word of an attached segment when the text it announces lies
// wholly inside the segment; nothing otherwise.
std::optional<std::size_t> text_length(const segment_attachment& segment, int shmid) {
  const std::size_t size = segment_size(shmid);
  if (size < kRejectionLengthBytes) return std::nullopt;
  const std::int32_t word = read_length_word(segment.bytes());
  if (word < 0) return std::nullopt;
  const auto length = static_cast<std::size_t>(word);
  if (length > size - kRejectionLengthBytes) return std::nullopt;
  return length;
}

// any_segment - the segment of id's key whatever its content, or -1; finds the segments
// that lookup refuses for a bad length word so they can be replaced too.
int any_segment(int id, const char* key_file) {
  const std::optional<key_t> key = rejection_key(id, key_file);
  if (!key) return -1;
  return shmget(*key, 0, 0);
}

// remove_segment - mark id's segment, if any, for removal; false when it stays.
bool remove_segment(int id, const char* key_file, log_function log) {
  int shmid = rejection_cache_lookup(id, key_file, log);
  if (shmid == -1) shmid = any_segment(id, key_file);
  if (shmid == -1) return true;
  return shmctl(shmid, IPC_RMID, nullptr) == 0;
}

// create_segment - a new segment holding message; false (and no segment) on failure.
bool create_segment(key_t key, const std::string& message) {
  constexpr auto kLongest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  if (message.size() > kLongest - kRejectionLengthBytes) return false;
  const int shmid = shmget(key, message.size() + kRejectionLengthBytes,
                           IPC_CREAT | kRejectionSegmentMode);
  if (shmid == -1) return false;
  segment_attachment segment(shmid, true);
  if (!segment.attached()) {
    // An unfilled segment would read as an empty message; better none at all.
    (void)shmctl(shmid, IPC_RMID, nullptr);
    return false;
  }
  std::memcpy(segment.bytes() + kRejectionLengthBytes, message.data(), message.size());
  publish_length_word(segment.bytes(), static_cast<std::uint32_t>(message.size()));
  return true;
}

}  // namespace

int rejection_cache_lookup(int id, const char* key_file, log_function log) {
  if (id <= 0) return -1;
  const std::optional<key_t> key = rejection_key(id, key_file);
  if (!key) {
    report(log, "failed to generate key");
    return -1;
  }
  const int probe = shmget(*key, kRejectionLengthBytes, kReadAccess);
  if (probe == -1) return -1;
  std::optional<std::size_t> length;
  {
    const segment_attachment segment(probe, false);
    if (!segment.attached()) return -1;
    length = text_length(segment, probe);
  }
  if (!length) return -1;
  return shmget(*key, *length + kRejectionLengthBytes, kReadAccess);
}

bool rejection_cache_store(int id, const std::optional<std::string>& message,
                           const char* key_file, log_function log) {
  if (id <= 0) return false;
  if (!remove_segment(id, key_file, log)) return false;
  if (!message || message->empty()) return true;
  const std::optional<key_t> key = rejection_key(id, key_file);
  if (!key) {
    report(log, "failed to generate unique key");
    return false;
  }
  if (!create_segment(*key, *message)) {
    report(log, "failed to link memory buffer for IPC");
    return false;
  }
  return true;
}

std::optional<std::string> rejection_cache_fetch(int id, const char* key_file, log_function log) {
  if (id <= 0) return std::nullopt;
  const int shmid = rejection_cache_lookup(id, key_file, log);
  if (shmid == -1) return std::nullopt;
  const segment_attachment segment(shmid, false);
  if (!segment.attached()) return std::nullopt;
  // The length word of the segment actually attached decides, checked against its size.
  const std::optional<std::size_t> length = text_length(segment, shmid);
  // No message is ever stored empty: a zero length is a segment not yet filled.
  if (!length || *length == 0) return std::nullopt;
  // The copy ends at the first NUL, as the text is handed on as a C string.
  const auto* text = reinterpret_cast<const char*>(segment.bytes() + kRejectionLengthBytes);
  try {
    return std::string(text, strnlen(text, *length));
  } catch (const std::bad_alloc&) {
    report(log, "out of memory allocation buffer for rejection notice");
    return std::nullopt;
  }
}

}  // namespace korvex
