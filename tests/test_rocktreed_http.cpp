// The real rocktreed binary on an ephemeral port, spoken to the way the
// viewer speaks: HTTP/1.0 over a plain socket, reading until the server
// closes the connection, and HTTP/1.1 over kept-alive connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kept_answer.h"
#include "planet/node_builder.h"
#include "rocktree.pb.h"

namespace {

class RocktreedProcess {
 public:
  RocktreedProcess() {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(ROCKTREED_BINARY, ROCKTREED_BINARY, "--port", "0", "--threads", "2", "--cache-mb", "16",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
    // First line: "rocktreed listening on http://127.0.0.1:PORT/rt/earth/ ...".
    std::string line = readLine(std::chrono::seconds(10));
    const size_t at = line.find("127.0.0.1:");
    if (at != std::string::npos) port_ = std::atoi(line.c_str() + at + 10);
    startup_line_ = line;
  }
  ~RocktreedProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }
  int port() const { return port_; }
  const std::string& startupLine() const { return startup_line_; }

  // One line of the server's standard output, or "" after the timeout.
  std::string readLine(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{stdout_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buf[4096];
      const ssize_t n = read(stdout_, buf, sizeof buf);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  int port_ = 0;
  std::string pending_, startup_line_;
};

struct http_result_t {
  bool closed_by_server = false;
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
};

// A socket connected to the port on loopback, or -1.
int connectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends raw request bytes and reads until the server closes (at most 10 s).
http_result_t exchange(int port, const std::string& request) {
  http_result_t r;
  const int fd = connectLoopback(port);
  if (fd < 0) return r;
  send(fd, request.data(), request.size(), 0);
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      r.closed_by_server = n == 0;
      break;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const size_t head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) == 0 && head_end != std::string::npos) {
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, head_end + 2);
    r.body = raw.substr(head_end + 4);
  }
  return r;
}

std::string get10(int port, const std::string& path) {
  return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

TEST(RocktreedBinary, ServesHttp10AndClosesTheConnection) {
  RocktreedProcess server;  // its start-up line within 10 s, against a hang
  ASSERT_GT(server.port(), 0) << "startup line: " << server.startupLine();

  http_result_t r = exchange(server.port(), get10(server.port(), "/rt/earth/PlanetoidMetadata"));
  EXPECT_TRUE(r.closed_by_server);
  ASSERT_EQ(r.status, 200);
  geo_globetrotter_proto_rocktree::PlanetoidMetadata planetoid;
  ASSERT_TRUE(planetoid.ParseFromString(r.body));
  EXPECT_FLOAT_EQ(planetoid.radius(), 6371010.0f);
  EXPECT_EQ(planetoid.root_node_metadata().epoch(), planet_epoch);
  // The access log names the request.
  const std::string log = server.readLine(std::chrono::seconds(5));
  EXPECT_EQ(log.rfind("GET /rt/earth/PlanetoidMetadata 200 ", 0), 0u) << log;

  const std::string node = "/rt/earth/NodeData/pb=!1m2!1s3002!2u" + std::to_string(planet_epoch) + "!2e1!4b0";
  r = exchange(server.port(), get10(server.port(), node));
  EXPECT_TRUE(r.closed_by_server);
  ASSERT_EQ(r.status, 200);
  geo_globetrotter_proto_rocktree::NodeData data;
  ASSERT_TRUE(data.ParseFromString(r.body));
  EXPECT_EQ(data.matrix_globe_from_mesh_size(), 16);

  r = exchange(server.port(), get10(server.port(), "/rt/earth/NodeData/pb=!1m2!1s3002!2u1!2e1!4b0!"));
  EXPECT_TRUE(r.closed_by_server);
  EXPECT_EQ(r.status, 400);
  r = exchange(server.port(), get10(server.port(), "/rt/earth/NodeData/pb=!1m2!1s3992!2u1!2e1!4b0"));
  EXPECT_EQ(r.status, 400);
  r = exchange(server.port(), get10(server.port(), "/rt/earth/BulkMetadata/pb=!1m2!1s0123!2u" +
                                                        std::to_string(planet_epoch)));
  EXPECT_EQ(r.status, 404);  // "01": a northern level-2 digit under a southern node
  r = exchange(server.port(), "POST /rt/earth/PlanetoidMetadata HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(r.closed_by_server);
  EXPECT_EQ(r.status, 405);
  // Garbage instead of a request line: an answer or a close, never a hang.
  r = exchange(server.port(), std::string("\x16\x03\x01\x00\xff\r\n\r\n", 9));
  EXPECT_TRUE(r.closed_by_server);
  // And the server is still there.
  r = exchange(server.port(), get10(server.port(), "/rt/earth/PlanetoidMetadata"));
  EXPECT_EQ(r.status, 200);
}

// The value of a header in a response head ("" when absent).
std::string header(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "";
  const size_t from = at + name.size() + 4;
  return head.substr(from, head.find("\r\n", from) - from);
}

TEST(RocktreedBinary, TagsAnswersForCachesAndRevalidatesThem) {
  RocktreedProcess server;
  ASSERT_GT(server.port(), 0) << "startup line: " << server.startupLine();
  const std::string node = "/rt/earth/NodeData/pb=!1m2!1s3003!2u" + std::to_string(planet_epoch) + "!2e6!4b0";
  const std::string host = "Host: 127.0.0.1\r\n";
  http_result_t r = exchange(server.port(), "GET " + node + " HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(header(r.head, "Cache-Control"), "public, max-age=31536000, immutable");
  EXPECT_EQ(header(r.head, "Content-Type"), "application/octet-stream");
  const std::string etag = header(r.head, "ETag");
  ASSERT_EQ(etag.size(), 18u) << r.head;
  // A cache that holds the answer asks again with its tag (HTTP/1.0 as the
  // viewer speaks, weak form as some proxies send it): 304, no body.
  r = exchange(server.port(), "GET " + node + " HTTP/1.0\r\nIf-None-Match: W/" + etag + "\r\n\r\n");
  EXPECT_EQ(r.status, 304);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(header(r.head, "ETag"), etag);
  r = exchange(server.port(), "GET " + node + " HTTP/1.0\r\nIf-None-Match: \"" + std::string(4000, 'x') + "\r\n\r\n");
  EXPECT_EQ(r.status, 200);  // a broken list is no match
  r = exchange(server.port(), get10(server.port(), "/rt/earth/NodeData/pb=!1m2!1s3992!2u1!2e1!4b0"));
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(header(r.head, "Cache-Control"), "no-store");
  EXPECT_EQ(header(r.head, "ETag"), "");
  r = exchange(server.port(), get10(server.port(), "/metrics"));
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(header(r.head, "Cache-Control"), "no-store");
  EXPECT_NE(r.body.find("rocktreed_requests_total{kind=\"node\",status=\"304\"} 1\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("rocktreed_requests_total{kind=\"node\",status=\"200\"} 2\n"), std::string::npos);
  EXPECT_NE(r.body.find("rocktreed_cache_hits_total 2\n"), std::string::npos);
}

}  // namespace

namespace {

// A bad input file ends start-up: status 2 and one line naming the file.
TEST(RocktreedBinary, BadInputFileEndsStartUpWithOneLineAndStatus2) {
  const std::string bad = ::testing::TempDir() + "rocktreed-not-a-raster.tif";
  FILE* f = std::fopen(bad.c_str(), "w");
  ASSERT_TRUE(f);
  std::fputs("not a raster\n", f);
  std::fclose(f);
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    close(err[0]);
    close(err[1]);
    execl(ROCKTREED_BINARY, ROCKTREED_BINARY, "--port", "0", "--imagery", bad.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  std::string text;
  char buf[1024];
  ssize_t n;
  while ((n = read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  std::remove(bad.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(text.rfind("rocktreed: " + bad + ": cannot open as a raster", 0), 0u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
}

// One kept-alive HTTP/1.1 connection: each answer is read to the end of its
// Content-Length (at most 10 s, against a hang); status 0 when the server
// closed instead.
struct kept_connection_t {
  int fd;
  explicit kept_connection_t(int port) : fd(connectLoopback(port)) {}
  ~kept_connection_t() {
    if (fd >= 0) close(fd);
  }
  int get(const std::string& path) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      return 0;
    return readKeptAnswer(fd);
  }
};

// More kept-alive connections than answer threads (--threads 2): the idle
// ones do not hold back the others, and stay open for their next request.
TEST(RocktreedBinary, KeepsMoreConnectionsAliveThanItHasAnswerThreads) {
  RocktreedProcess server;
  ASSERT_GT(server.port(), 0) << "startup line: " << server.startupLine();
  std::vector<std::unique_ptr<kept_connection_t>> connections;
  for (int k = 0; k < 6; ++k) {
    connections.push_back(std::make_unique<kept_connection_t>(server.port()));
    EXPECT_EQ(connections.back()->get("/rt/earth/PlanetoidMetadata"), 200) << "connection " << k;
  }
  for (int k = 0; k < 6; ++k) EXPECT_EQ(connections[k]->get("/rt/earth/PlanetoidMetadata"), 200) << "again on " << k;
}

}  // namespace
