// dns_responder - name table, query parsing, reply building and the serving thread.
#include "tests/testkit/dns_responder.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

namespace korvex::testing {
namespace {

constexpr std::uint16_t kClassIn = 1;
constexpr std::uint32_t kTtl = 300;
constexpr std::size_t kHeaderBytes = 12;
constexpr std::uint16_t kCompressedQuestionName = 0xC00C;
constexpr int kRcodeNoError = 0;
constexpr int kRcodeFormErr = 1;
constexpr int kRcodeServFail = 2;
constexpr int kRcodeNxDomain = 3;
constexpr int kRcodeNotImp = 4;

// Lower case without the trailing dot of a fully qualified name.
std::string normalise(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

// Wire form of a name, absent when it is empty (the root is never what a test means), a
// label is empty or too long, or the whole is too long.
std::optional<std::string> encode_name(const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::string wire;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t end = name.find('.', start);
    if (end == std::string::npos) end = name.size();
    const std::size_t length = end - start;
    if (length == 0 || length > 63) return std::nullopt;
    wire += static_cast<char>(length);
    wire.append(name, start, length);
    start = end + 1;
  }
  wire += '\0';
  if (wire.size() > 255) return std::nullopt;
  return wire;
}

void put16(std::string* out, std::uint16_t value) {
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value & 0xFF));
}

void put32(std::string* out, std::uint32_t value) {
  put16(out, static_cast<std::uint16_t>(value >> 16));
  put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
}

std::uint16_t get16(const std::string& data, std::size_t offset) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(data[offset]) << 8) |
                                    static_cast<unsigned char>(data[offset + 1]));
}

struct Question {
  std::string name;      // normalised
  std::size_t end = 0;   // offset just past QTYPE and QCLASS
  std::uint16_t type = 0;
};

// The single question of a query, absent when it is malformed or compressed.
std::optional<Question> parse_question(const std::string& query) {
  Question question;
  std::size_t offset = kHeaderBytes;
  for (;;) {
    if (offset >= query.size()) return std::nullopt;
    const auto length = static_cast<unsigned char>(query[offset++]);
    if (length == 0) break;
    if (length > 63 || offset + length > query.size()) return std::nullopt;
    if (!question.name.empty()) question.name += '.';
    question.name.append(query, offset, length);
    offset += length;
  }
  if (offset + 4 > query.size()) return std::nullopt;
  question.type = get16(query, offset);
  question.end = offset + 4;
  question.name = normalise(question.name);
  return question;
}

std::string reply_header(const std::string& query, int rcode, std::uint16_t answers,
                         bool has_question) {
  std::string header = query.substr(0, 2);  // ID
  const auto query_flags = get16(query, 2);
  const std::uint16_t opcode_and_rd = query_flags & 0x7900;
  put16(&header, static_cast<std::uint16_t>(0x8000 | opcode_and_rd | 0x0400 | 0x0080 | rcode));
  put16(&header, has_question ? 1 : 0);
  put16(&header, answers);
  put16(&header, 0);
  put16(&header, 0);
  return header;
}

std::optional<std::string> ipv4_rdata(const std::string& ipv4) {
  in_addr address{};
  if (inet_pton(AF_INET, ipv4.c_str(), &address) != 1) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(&address), sizeof address);
}

}  // namespace

// The ip6.arpa name: the address's 32 nibbles, last first.
std::optional<std::string> ipv6_reverse_name(const std::string& ipv6) {
  in6_addr address{};
  if (inet_pton(AF_INET6, ipv6.c_str(), &address) != 1) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  for (int index = 15; index >= 0; --index) {
    const unsigned byte = address.s6_addr[index];
    name += {kDigits[byte & 0xf], '.', kDigits[byte >> 4], '.'};
  }
  return name + "ip6.arpa";
}

std::optional<std::string> reverse_name(const std::string& address) {
  if (address.find(':') != std::string::npos) return ipv6_reverse_name(address);
  const auto bytes = ipv4_rdata(address);
  if (!bytes) return std::nullopt;
  std::string name;
  for (int index = 3; index >= 0; --index) {
    name += std::to_string(static_cast<unsigned char>((*bytes)[static_cast<std::size_t>(index)]));
    name += '.';
  }
  return name + "in-addr.arpa";
}

DnsResponder::~DnsResponder() { stop(); }

::testing::AssertionResult DnsResponder::start(const std::string& address, std::uint16_t port) {
  if (thread_.joinable()) return ::testing::AssertionFailure() << "DNS responder already running";
  sockaddr_in local{};
  if (!ipv4_socket_address(address, port, &local)) {
    return ::testing::AssertionFailure() << "bad IPv4 address " << address;
  }
  if (!wakeup_.valid()) return ::testing::AssertionFailure() << "eventfd: " << strerror(errno);
  wakeup_.clear();
  UniqueFd socket_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket_fd.valid() ||
      bind(socket_fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return ::testing::AssertionFailure() << "DNS responder on " << address << ":" << port << ": "
                                         << strerror(errno);
  }
  port_ = bound_port(socket_fd.get());
  socket_ = std::move(socket_fd);
  thread_ = std::thread([this] { serve_loop(); });
  return ::testing::AssertionSuccess();
}

void DnsResponder::stop() {
  if (!thread_.joinable()) return;
  wakeup_.signal();
  thread_.join();
  socket_.reset();
}

void DnsResponder::serve_loop() {
  for (;;) {
    if (wait_readable(socket_.get(), wakeup_, -1) != WaitResult::ready) return;
    char buffer[4096];
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const ssize_t got = recvfrom(socket_.get(), buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (got <= 0) continue;
    const std::string reply = answer(std::string(buffer, static_cast<std::size_t>(got)));
    if (reply.empty()) continue;
    // A lost reply is what a resolver must cope with anyway; it will ask again.
    (void)sendto(socket_.get(), reply.data(), reply.size(), 0,
                 reinterpret_cast<const sockaddr*>(&peer), peer_length);
  }
}

std::string DnsResponder::answer(const std::string& query) {
  if (query.size() < kHeaderBytes || (get16(query, 2) & 0x8000) != 0) return {};
  const int opcode = (get16(query, 2) >> 11) & 0x0F;
  const auto question = get16(query, 4) == 1 ? parse_question(query) : std::nullopt;
  if (!question) return reply_header(query, kRcodeFormErr, 0, false);
  const std::string question_wire = query.substr(kHeaderBytes, question->end - kHeaderBytes);
  if (opcode != 0) return reply_header(query, kRcodeNotImp, 0, true) + question_wire;

  const std::lock_guard lock(mutex_);
  ++counts_[{question->name, question->type}];
  const auto found = names_.find(question->name);
  if (found == names_.end() || found->second.mode == Mode::nxdomain) {
    return reply_header(query, kRcodeNxDomain, 0, true) + question_wire;
  }
  if (found->second.mode == Mode::servfail) {
    return reply_header(query, kRcodeServFail, 0, true) + question_wire;
  }
  std::string answers;
  std::uint16_t count = 0;
  for (const Record& record : found->second.records) {
    if (record.type != question->type) continue;
    put16(&answers, kCompressedQuestionName);
    put16(&answers, record.type);
    put16(&answers, kClassIn);
    put32(&answers, kTtl);
    put16(&answers, static_cast<std::uint16_t>(record.rdata.size()));
    answers += record.rdata;
    ++count;
  }
  return reply_header(query, kRcodeNoError, count, true) + question_wire + answers;
}

::testing::AssertionResult DnsResponder::add_record(const std::string& name, Record record) {
  const std::string key = normalise(name);
  if (!encode_name(key)) return ::testing::AssertionFailure() << "bad DNS name '" << name << "'";
  const std::lock_guard lock(mutex_);
  Entry& entry = names_[key];
  if (entry.mode != Mode::records) entry = Entry{};
  entry.records.push_back(std::move(record));
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult DnsResponder::add_a(const std::string& name, const std::string& ipv4) {
  const auto rdata = ipv4_rdata(ipv4);
  if (!rdata) return ::testing::AssertionFailure() << "bad IPv4 address '" << ipv4 << "'";
  return add_record(name, Record{kDnsTypeA, *rdata});
}

::testing::AssertionResult DnsResponder::add_ptr(const std::string& ipv4,
                                                 const std::string& host) {
  const auto name = reverse_name(ipv4);
  const auto target = encode_name(normalise(host));
  if (!name) return ::testing::AssertionFailure() << "bad IP address '" << ipv4 << "'";
  if (!target) return ::testing::AssertionFailure() << "bad DNS name '" << host << "'";
  return add_record(*name, Record{kDnsTypePtr, *target});
}

::testing::AssertionResult DnsResponder::add_mx(const std::string& name, std::uint16_t preference,
                                                const std::string& exchange) {
  const auto target = encode_name(normalise(exchange));
  if (!target) return ::testing::AssertionFailure() << "bad DNS name '" << exchange << "'";
  std::string rdata;
  put16(&rdata, preference);
  return add_record(name, Record{kDnsTypeMx, rdata + *target});
}

::testing::AssertionResult DnsResponder::set_mode(const std::string& name, Mode mode) {
  const std::string key = normalise(name);
  if (!encode_name(key)) return ::testing::AssertionFailure() << "bad DNS name '" << name << "'";
  const std::lock_guard lock(mutex_);
  names_[key] = Entry{mode, {}};
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult DnsResponder::set_nxdomain(const std::string& name) {
  return set_mode(name, Mode::nxdomain);
}

::testing::AssertionResult DnsResponder::set_servfail(const std::string& name) {
  return set_mode(name, Mode::servfail);
}

::testing::AssertionResult DnsResponder::load_zone(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    line.resize(std::min(line.size(), line.find('#')));
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) continue;
    const std::string& kind = fields[0];
    ::testing::AssertionResult applied = ::testing::AssertionFailure() << "unknown record";
    unsigned preference = 0;
    if (kind == "a" && fields.size() == 3) {
      applied = add_a(fields[1], fields[2]);
    } else if (kind == "ptr" && fields.size() == 3) {
      applied = add_ptr(fields[1], fields[2]);
    } else if (kind == "mx" && fields.size() == 4) {
      const auto [end, error] =
          std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), preference);
      applied = error == std::errc() && end == fields[2].data() + fields[2].size() &&
                        preference <= 0xFFFF
                    ? add_mx(fields[1], static_cast<std::uint16_t>(preference), fields[3])
                    : ::testing::AssertionFailure() << "bad preference '" << fields[2] << "'";
    } else if (kind == "nxdomain" && fields.size() == 2) {
      applied = set_nxdomain(fields[1]);
    } else if (kind == "servfail" && fields.size() == 2) {
      applied = set_servfail(fields[1]);
    }
    if (!applied) {
      return ::testing::AssertionFailure() << "zone line " << number << ": " << applied.message();
    }
  }
  return ::testing::AssertionSuccess();
}

void DnsResponder::clear() {
  const std::lock_guard lock(mutex_);
  names_.clear();
  counts_.clear();
}

int DnsResponder::query_count(const std::string& name, std::uint16_t type) const {
  const std::lock_guard lock(mutex_);
  const auto found = counts_.find({normalise(name), type});
  return found == counts_.end() ? 0 : found->second;
}

int DnsResponder::query_count(const std::string& name) const {
  const std::string key = normalise(name);
  const std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [name_and_type, count] : counts_) {
    if (name_and_type.first == key) total += count;
  }
  return total;
}

}  // namespace korvex::testing
