// http_server - a loopback HTTP/1.1 server on a background thread for whole-program tests.
//
// The test decides, per path, what the server answers: a status, extra headers and a
// binary-safe body; a Last-Modified time that turns a matching If-Modified-Since request
// into 304; or a transfer cut off after some body bytes, the way a killed download looks
// to the client, or a transfer that stalls after some body bytes until the client gives
// up. Paths nobody configured answer 404. Every request is recorded (method,
// target, headers, body) so a test can check what a program sent.
//
// Each connection carries one request and is closed after the answer ("Connection:
// close"); bodies arrive with Content-Length or chunked, and "Expect: 100-continue" is
// honoured, so /usr/bin/curl works with HEAD, GET, POST and -D.
//
//   HttpServer server;
//   ASSERT_TRUE(server.start("127.0.0.1", 0));      // port 0: any free port
//   server.serve_body("/lists/dyna.txt", "a\nb\n");
//   server.serve_status("/broken", 500);
//   ... run curl against server.url("/lists/dyna.txt") ...
//   EXPECT_EQ(server.requests().at(0).method, "GET");
//
// Exports: HttpResponse, HttpRequest, HttpServer, http_date.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/testkit/net_util.h"
#include "tests/testkit/unique_fd.h"

namespace korvex::testing {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  int status = 200;
  HttpHeaders headers;  // sent after the server's own Content-Length and Connection
  std::string body;
  // Announce the whole body but close the connection after this many of its bytes.
  std::optional<std::size_t> cut_after;
  // Sent as Last-Modified; a request whose If-Modified-Since is not older gets 304.
  std::optional<std::time_t> last_modified;
  // With cut_after: hold the connection open after those bytes instead of closing it,
  // the way a stalled mirror looks, until the client goes away or the server stops.
  bool stall = false;
};

struct HttpRequest {
  std::string method;
  std::string target;  // as sent, query included
  std::string path;    // target without the query
  std::string version;
  HttpHeaders headers;
  std::string body;

  // header - the first header of that name (case-insensitive), absent when not sent.
  std::optional<std::string> header(std::string_view name) const;
};

class HttpServer {
 public:
  HttpServer() = default;
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // start - bind address:port (0 = any free port) and serve on a background thread.
  ::testing::AssertionResult start(const std::string& address = "127.0.0.1",
                                   std::uint16_t port = 0);
  // stop - stop serving and join the thread; start may be called again afterwards.
  void stop();

  std::uint16_t port() const { return port_; }
  const std::string& address() const { return address_; }
  // url - "http://<address>:<port><path>".
  std::string url(std::string_view path) const;

  // set_response - answer requests for path (exact target, else target without query).
  void set_response(const std::string& path, HttpResponse response);
  void serve_body(const std::string& path, std::string body, HttpHeaders headers = {});
  void serve_status(const std::string& path, int status, std::string body = {});
  void serve_not_modified(const std::string& path) { serve_status(path, 304); }
  void serve_killed(const std::string& path, std::string body, std::size_t bytes_sent);
  void serve_stalled(const std::string& path, std::string body, std::size_t bytes_sent);
  void remove_response(const std::string& path);

  std::vector<HttpRequest> requests() const;
  void clear_requests();

 private:
  void serve_loop();
  void serve_connection(UniqueFd connection);
  HttpResponse response_for(const HttpRequest& request) const;

  mutable std::mutex mutex_;
  std::map<std::string, HttpResponse> responses_;
  std::vector<HttpRequest> requests_;
  UniqueFd listener_;
  Wakeup wakeup_;
  std::thread thread_;
  std::string address_;
  std::uint16_t port_ = 0;
};

// http_date - the IMF-fixdate text of a time, as used by Last-Modified.
std::string http_date(std::time_t when);

}  // namespace korvex::testing
