// http_server - request parsing, answer selection and the accept loop of HttpServer.
#include "tests/testkit/http_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace korvex::testing {
namespace {

constexpr int kIoTimeoutMs = 10000;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

const char* reason_phrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool has_no_body(int status) { return status < 200 || status == 204 || status == 304; }

std::optional<std::time_t> parse_http_date(const std::string& text) {
  tm parts{};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (end == nullptr || *end != '\0') return std::nullopt;
  return timegm(&parts);
}

// Buffered reading from one connection, bounded by a timeout and the server's wakeup.
class ConnectionReader {
 public:
  ConnectionReader(int fd, const Wakeup& wakeup) : fd_(fd), wakeup_(wakeup) {}

  // read_until - make the buffer hold marker; false on EOF, error, timeout or stop.
  bool read_until(std::string_view marker, std::size_t limit) {
    while (buffer_.find(marker) == std::string::npos) {
      if (buffer_.size() > limit || !fill()) return false;
    }
    return true;
  }
  // take - remove and return the first count bytes, reading more as needed.
  std::optional<std::string> take(std::size_t count) {
    while (buffer_.size() < count) {
      if (!fill()) return std::nullopt;
    }
    std::string taken = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return taken;
  }
  // take_head - the request line and headers up to and including the empty line.
  std::optional<std::string> take_head() {
    if (!read_until("\r\n\r\n", kMaxHeaderBytes)) return std::nullopt;
    return take(buffer_.find("\r\n\r\n") + 4);
  }
  // take_line - the next CRLF-terminated line without its end.
  std::optional<std::string> take_line() {
    if (!read_until("\r\n", kMaxHeaderBytes)) return std::nullopt;
    const std::size_t end = buffer_.find("\r\n");
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return line;
  }

 private:
  bool fill() {
    if (wait_readable(fd_, wakeup_, kIoTimeoutMs) != WaitResult::ready) return false;
    char chunk[16384];
    ssize_t got;
    do {
      got = recv(fd_, chunk, sizeof chunk, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  int fd_;
  const Wakeup& wakeup_;
  std::string buffer_;
};

bool send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::optional<std::size_t> parse_size(std::string_view text, int base) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// Request line and header block; false when the head is malformed.
bool parse_head(const std::string& head, HttpRequest* request) {
  const std::size_t line_end = head.find("\r\n");
  const std::string line = head.substr(0, line_end);
  const std::size_t first = line.find(' ');
  const std::size_t second = line.find(' ', first == std::string::npos ? first : first + 1);
  if (first == std::string::npos || second == std::string::npos) return false;
  request->method = line.substr(0, first);
  request->target = line.substr(first + 1, second - first - 1);
  request->version = line.substr(second + 1);
  request->path = request->target.substr(0, request->target.find('?'));
  std::size_t position = line_end + 2;
  while (position < head.size()) {
    std::size_t end = head.find("\r\n", position);
    if (end == std::string::npos) end = head.size();
    const std::string_view header(head.data() + position, end - position);
    position = end + 2;
    if (header.empty()) break;
    const std::size_t colon = header.find(':');
    if (colon == std::string_view::npos) return false;
    request->headers.emplace_back(std::string(trim(header.substr(0, colon))),
                                  std::string(trim(header.substr(colon + 1))));
  }
  return !request->method.empty() && !request->target.empty();
}

bool read_chunked_body(ConnectionReader* reader, std::string* body) {
  for (;;) {
    const auto size_line = reader->take_line();
    if (!size_line) return false;
    const auto size = parse_size(trim(size_line->substr(0, size_line->find(';'))), 16);
    if (!size) return false;
    if (*size == 0) break;
    const auto chunk = reader->take(*size + 2);
    if (!chunk || chunk->compare(*size, 2, "\r\n") != 0) return false;
    body->append(*chunk, 0, *size);
  }
  // Trailer fields, if any, end with an empty line.
  for (;;) {
    const auto trailer = reader->take_line();
    if (!trailer) return false;
    if (trailer->empty()) return true;
  }
}

std::string render_head(const HttpRequest& request, const HttpResponse& response) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     reason_phrase(response.status) + "\r\n";
  if (!has_no_body(response.status) || request.method == "HEAD") {
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  if (response.last_modified) head += "Last-Modified: " + http_date(*response.last_modified) + "\r\n";
  head += "Connection: close\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  return head + "\r\n";
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equal_ignoring_case(key, name)) return value;
  }
  return std::nullopt;
}

std::string http_date(std::time_t when) {
  tm parts{};
  char text[64];
  if (gmtime_r(&when, &parts) == nullptr ||
      strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts) == 0) {
    return {};
  }
  return text;
}

HttpServer::~HttpServer() { stop(); }

::testing::AssertionResult HttpServer::start(const std::string& address, std::uint16_t port) {
  if (thread_.joinable()) return ::testing::AssertionFailure() << "HTTP server already running";
  sockaddr_in local{};
  if (!ipv4_socket_address(address, port, &local)) {
    return ::testing::AssertionFailure() << "bad IPv4 address " << address;
  }
  if (!wakeup_.valid()) return ::testing::AssertionFailure() << "eventfd: " << strerror(errno);
  wakeup_.clear();
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (!listener.valid() ||
      setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(listener.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener.get(), 16) != 0) {
    return ::testing::AssertionFailure() << "HTTP server on " << address << ":" << port << ": "
                                         << strerror(errno);
  }
  port_ = bound_port(listener.get());
  address_ = address;
  listener_ = std::move(listener);
  thread_ = std::thread([this] { serve_loop(); });
  return ::testing::AssertionSuccess();
}

void HttpServer::stop() {
  if (!thread_.joinable()) return;
  wakeup_.signal();
  thread_.join();
  listener_.reset();
}

std::string HttpServer::url(std::string_view path) const {
  return "http://" + address_ + ":" + std::to_string(port_) + std::string(path);
}

void HttpServer::set_response(const std::string& path, HttpResponse response) {
  const std::lock_guard lock(mutex_);
  responses_[path] = std::move(response);
}

void HttpServer::serve_body(const std::string& path, std::string body, HttpHeaders headers) {
  set_response(path, HttpResponse{.status = 200, .headers = std::move(headers),
                                  .body = std::move(body), .cut_after = {}, .last_modified = {}, .stall = false});
}

void HttpServer::serve_status(const std::string& path, int status, std::string body) {
  set_response(path, HttpResponse{.status = status, .headers = {}, .body = std::move(body),
                                  .cut_after = {}, .last_modified = {}, .stall = false});
}

void HttpServer::serve_killed(const std::string& path, std::string body, std::size_t bytes_sent) {
  set_response(path, HttpResponse{.status = 200, .headers = {}, .body = std::move(body),
                                  .cut_after = bytes_sent, .last_modified = {}, .stall = false});
}

void HttpServer::serve_stalled(const std::string& path, std::string body, std::size_t bytes_sent) {
  set_response(path, HttpResponse{.status = 200, .headers = {}, .body = std::move(body),
                                  .cut_after = bytes_sent, .last_modified = {}, .stall = true});
}

void HttpServer::remove_response(const std::string& path) {
  const std::lock_guard lock(mutex_);
  responses_.erase(path);
}

std::vector<HttpRequest> HttpServer::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

void HttpServer::clear_requests() {
  const std::lock_guard lock(mutex_);
  requests_.clear();
}

void HttpServer::serve_loop() {
  for (;;) {
    const WaitResult waited = wait_readable(listener_.get(), wakeup_, -1);
    if (waited != WaitResult::ready) return;
    UniqueFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.valid()) serve_connection(std::move(connection));
  }
}

HttpResponse HttpServer::response_for(const HttpRequest& request) const {
  const std::lock_guard lock(mutex_);
  auto found = responses_.find(request.target);
  if (found == responses_.end()) found = responses_.find(request.path);
  if (found == responses_.end()) {
    return HttpResponse{.status = 404, .headers = {{"Content-Type", "text/plain"}},
                        .body = "Not Found\n", .cut_after = {}, .last_modified = {}, .stall = false};
  }
  HttpResponse response = found->second;
  const auto since = request.header("If-Modified-Since");
  if (response.last_modified && since) {
    const auto since_time = parse_http_date(*since);
    if (since_time && *since_time >= *response.last_modified) {
      response.status = 304;
      response.body.clear();
      response.cut_after.reset();
    }
  }
  return response;
}

void HttpServer::serve_connection(UniqueFd connection) {
  ConnectionReader reader(connection.get(), wakeup_);
  const auto block = reader.take_head();
  if (!block) return;
  HttpRequest request;
  const HttpResponse bad_request{.status = 400, .headers = {}, .body = "Bad Request\n",
                                 .cut_after = {}, .last_modified = {}, .stall = false};
  if (!parse_head(*block, &request)) {
    (void)send_all(connection.get(), render_head(request, bad_request) + bad_request.body);
    return;
  }
  const auto expect = request.header("Expect");
  if (expect && equal_ignoring_case(*expect, "100-continue") &&
      !send_all(connection.get(), "HTTP/1.1 100 Continue\r\n\r\n")) {
    return;
  }
  const auto encoding = request.header("Transfer-Encoding");
  const auto length = request.header("Content-Length");
  bool body_ok = true;
  if (encoding && equal_ignoring_case(*encoding, "chunked")) {
    body_ok = read_chunked_body(&reader, &request.body);
  } else if (length) {
    const auto size = parse_size(*length, 10);
    const auto body = size ? reader.take(*size) : std::nullopt;
    body_ok = body.has_value();
    if (body_ok) request.body = *body;
  }
  if (!body_ok) {
    (void)send_all(connection.get(), render_head(request, bad_request) + bad_request.body);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  const HttpResponse response = response_for(request);
  std::string_view body = response.body;
  if (request.method == "HEAD" || has_no_body(response.status)) body = {};
  if (response.cut_after) body = body.substr(0, std::min(*response.cut_after, body.size()));
  // A client that went away early is its own business; the connection closes either way.
  (void)send_all(connection.get(), render_head(request, response));
  (void)send_all(connection.get(), body);
  // A stalled transfer ends only when the client goes away (its end of the connection
  // becomes readable) or the server stops.
  if (response.stall && response.cut_after) {
    (void)wait_readable(connection.get(), wakeup_, -1);
  }
}

}  // namespace korvex::testing
