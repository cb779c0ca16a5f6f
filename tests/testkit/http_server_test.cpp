#include "tests/testkit/http_server.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace korvex::testing {
namespace {

struct CurlRun {
  int status;
  std::string out;
};

// Runs /usr/bin/curl with the given (shell-safe) arguments and collects its stdout.
CurlRun curl(const std::string& arguments) {
  const std::string command = "/usr/bin/curl -s " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, {}};
  std::string out;
  char buffer[4096];
  for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start("127.0.0.1", 0));
    ASSERT_NE(server_.port(), 0);
    char pattern[] = "/tmp/korvex-http-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    ASSERT_EQ(std::system(("rm -rf " + directory_).c_str()), 0);
  }

  HttpServer server_;
  std::string directory_;
};

TEST_F(HttpServerTest, ServesBinaryBodiesWithHeadersToGetAndHead) {
  const std::string body("line one\n\0\xff\x80 tail", 16);
  server_.serve_body("/lists/dyna.regexes", body, {{"X-Mirror", "one"}});
  const std::string file = directory_ + "/body";

  const CurlRun get = curl("-D - -o " + file + " " + server_.url("/lists/dyna.regexes"));
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out,
            "HTTP/1.1 200 OK\r\nContent-Length: 16\r\nConnection: close\r\nX-Mirror: one\r\n\r\n");
  EXPECT_EQ(slurp(file), body);

  const CurlRun head = curl("-I " + server_.url("/lists/dyna.regexes?x=1"));
  EXPECT_EQ(head.status, 0);
  EXPECT_EQ(head.out,
            "HTTP/1.1 200 OK\r\nContent-Length: 16\r\nConnection: close\r\nX-Mirror: one\r\n\r\n");

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/lists/dyna.regexes");
  EXPECT_EQ(requests[1].method, "HEAD");
  EXPECT_EQ(requests[1].target, "/lists/dyna.regexes?x=1");
  EXPECT_EQ(requests[1].path, "/lists/dyna.regexes");
  EXPECT_EQ(requests[1].version, "HTTP/1.1");
  EXPECT_EQ(requests[1].header("host"), "127.0.0.1:" + std::to_string(server_.port()));
  EXPECT_EQ(requests[1].header("X-Absent"), std::nullopt);
}

TEST_F(HttpServerTest, AnswersErrorStatusesAndUnknownPaths) {
  server_.serve_status("/broken", 500);
  server_.serve_not_modified("/same");
  server_.serve_body("/gone", "x");
  server_.remove_response("/gone");
  const std::string status_only = "-o /dev/null -w '%{http_code}' ";
  EXPECT_EQ(curl(status_only + server_.url("/broken")).out, "500");
  EXPECT_EQ(curl(status_only + server_.url("/same")).out, "304");
  EXPECT_EQ(curl(status_only + server_.url("/gone")).out, "404");
  EXPECT_EQ(curl(server_.url("/nowhere")).out, "Not Found\n");
  EXPECT_EQ(curl("-f " + server_.url("/broken")).status, 22);
}

TEST_F(HttpServerTest, LastModifiedTurnsConditionalRequestsInto304) {
  const std::time_t modified = 1700000000;
  server_.set_response("/map", HttpResponse{.status = 200, .headers = {}, .body = "map data",
                                            .cut_after = {}, .last_modified = modified, .stall = false});
  EXPECT_EQ(http_date(modified), "Tue, 14 Nov 2023 22:13:20 GMT");
  const std::string status_only = "-o /dev/null -w '%{http_code}' ";
  EXPECT_EQ(curl(status_only + "-H 'If-Modified-Since: Tue, 14 Nov 2023 22:13:20 GMT' " +
                 server_.url("/map")).out, "304");
  EXPECT_EQ(curl(status_only + "-H 'If-Modified-Since: Tue, 14 Nov 2023 22:13:19 GMT' " +
                 server_.url("/map")).out, "200");
  EXPECT_EQ(curl(server_.url("/map")).out, "map data");
}

TEST_F(HttpServerTest, KilledTransferLeavesThePartialBodyAndAFailure) {
  server_.serve_killed("/big", std::string(1000, 'z'), 300);
  const std::string file = directory_ + "/partial";
  const CurlRun run = curl("-o " + file + " " + server_.url("/big"));
  EXPECT_EQ(run.status, 18);  // curl: partial file
  EXPECT_EQ(slurp(file), std::string(300, 'z'));
}

TEST_F(HttpServerTest, RecordsPostBodiesSentPlainAndChunked) {
  server_.serve_body("/regex", "ok\n");
  EXPECT_EQ(curl("--data-binary 'list=dyna&v=2' " + server_.url("/regex")).out, "ok\n");
  const std::string big(5000, 'q');
  const std::string file = directory_ + "/post";
  {
    std::ofstream(file, std::ios::binary) << big;
  }
  EXPECT_EQ(curl("-H 'Transfer-Encoding: chunked' -H 'Expect: 100-continue' --data-binary @" +
                 file + " " + server_.url("/regex")).out, "ok\n");
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "list=dyna&v=2");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[1].body, big);
  server_.clear_requests();
  EXPECT_TRUE(server_.requests().empty());
}

TEST(HttpServerLifecycle, RefusesBadAddressesAndRestartsAfterStop) {
  HttpServer server;
  EXPECT_FALSE(server.start("not-an-address", 0));
  ASSERT_TRUE(server.start("127.0.0.1", 0));
  EXPECT_FALSE(server.start("127.0.0.1", 0));
  HttpServer rival;
  EXPECT_FALSE(rival.start("127.0.0.1", server.port()));
  server.stop();
  ASSERT_TRUE(server.start("127.0.0.1", 0));
  server.serve_body("/", "again");
  EXPECT_EQ(curl(server.url("/")).out, "again");
}

}  // namespace
}  // namespace korvex::testing
