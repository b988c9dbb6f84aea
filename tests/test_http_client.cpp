#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>

#include "net/http_client.h"
#include "net/http_url.h"
#include "script_server.h"

namespace {

// Drives a request to its end. The bound on the number of polls only keeps a
// broken client from hanging the suite; each poll waits up to 1 ms.
http_status_t runToEnd(http_t* h, int max_polls = 20000) {
  http_status_t s = HTTP_STATUS_PENDING;
  for (int k = 0; k < max_polls && (s = http_process(h)) == HTTP_STATUS_PENDING; ++k) http_wait(h, 1);
  return s;
}

struct stall_limit_guard_t {
  explicit stall_limit_guard_t(int64_t ms) { http_stall_timeout_ms = ms; }
  ~stall_limit_guard_t() { http_stall_timeout_ms = http_stall_limit_ms; }
};

std::string body(const http_t* h) {
  return std::string(static_cast<const char*>(h->response_data), h->response_size);
}

// Polls a condition that another thread makes true; false after 5 s.
bool waitFor(const std::function<bool()>& done) {
  for (int k = 0; k < 1000 && !done(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

// A port on which nothing listens (bound, then closed again).
uint16_t closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace

TEST(HttpUrl, SchemePortResourceAndLimits) {
  http_url_t u;
  ASSERT_TRUE(httpParseUrl("http://example.org/a/b", &u));
  EXPECT_FALSE(u.tls);
  EXPECT_STREQ(u.host, "example.org");
  EXPECT_STREQ(u.port, "80");
  EXPECT_STREQ(u.resource, "/a/b");

  ASSERT_TRUE(httpParseUrl("https://h:8443/x:y", &u));
  EXPECT_TRUE(u.tls);
  EXPECT_STREQ(u.host, "h");
  EXPECT_STREQ(u.port, "8443");
  EXPECT_STREQ(u.resource, "/x:y");

  ASSERT_TRUE(httpParseUrl("https://h", &u));
  EXPECT_STREQ(u.port, "443");
  EXPECT_STREQ(u.resource, "");

  const std::string host255(255, 'a'), host256(256, 'a');
  EXPECT_TRUE(httpParseUrl(("http://" + host255 + "/").c_str(), &u));
  const std::string bad_urls[] = {"HTTP://h/",   "ftp://h/",        "http:///x",    "http://" + host256 + "/",
                                  "http://h:/",  "http://h:0/",     "http://h:65536/", "http://h:8a/",
                                  "https://h:123456/"};
  for (const std::string& bad : bad_urls)
    EXPECT_FALSE(httpParseUrl(bad.c_str(), &u)) << bad;
  EXPECT_EQ(http_get("ftp://127.0.0.1/", nullptr), nullptr);
}

TEST(HttpRequest, HeadsAreExact) {
  ScriptServer server;
  server.replyDefault(httpReply(200, "OK", ""));
  const std::string hostport = server.host();
  // Resource lengths around the switch between the record's head buffer and
  // a heap one (resource + host + port + 64 >= 256).
  const size_t fixed = hostport.size() - 1 + 64;  // host and port without the ':'
  std::vector<std::string> resources = {"/a/b", "", "/" + std::string(191 - fixed, 'x'),
                                        "/" + std::string(192 - fixed, 'y'), "/" + std::string(5000, 'z')};
  for (const std::string& resource : resources) {
    http_t* h = http_get(server.url(resource).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
    http_release(h);
  }
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), resources.size());
  for (size_t k = 0; k < resources.size(); ++k) {
    EXPECT_EQ(reqs[k].head, "GET " + resources[k] + " HTTP/1.0\r\nHost: " + hostport + "\r\n\r\n");
    EXPECT_EQ(reqs[k].body, "");
  }

  const std::string post_body("a\0b", 3);
  http_t* h = http_post(server.url("/p").c_str(), post_body.data(), post_body.size(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
  http_release(h);
  reqs = server.requests();
  ASSERT_EQ(reqs.size(), resources.size() + 1);
  EXPECT_EQ(reqs.back().head, "POST /p HTTP/1.0\r\nHost: " + hostport + "\r\nContent-Length: 3\r\n\r\n");
  EXPECT_EQ(reqs.back().body, post_body);
}

// A body far larger than the socket buffers, to a server that is slow to
// start reading: the sends come back short and must be continued, never
// leaving the request truncated.
TEST(HttpRequest, ShortSendsContinue) {
  ScriptServer server;
  server.replyDefault(httpReply(200, "OK", "done"));
  server.setRequestReadDelay(100);
  std::string big(16 << 20, '\0');
  for (size_t k = 0; k < big.size(); ++k) big[k] = static_cast<char>(k * 7 + (k >> 12));
  http_t* h = http_post(server.url("/upload").c_str(), big.data(), big.size(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
  EXPECT_EQ(body(h), "done");
  http_release(h);
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_TRUE(reqs[0].complete);
  EXPECT_TRUE(reqs[0].body == big) << "received " << reqs[0].body.size() << " of " << big.size();
}

TEST(HttpResponse, ParsedFieldsAndStatusRange) {
  ScriptServer server;
  const std::string nul_body("\0a\0\0b\0", 6);
  server.reply("/ok", httpReply(200, "OK", "hello", "Content-Type: text/plain\r\nX: y\r\n"));
  server.reply("/empty", httpReply(200, "OK", ""));
  server.reply("/404", httpReply(404, "Not Found", "missing"));
  server.reply("/299", httpReply(299, "Fine", ""));
  server.reply("/300", httpReply(300, "Moved", ""));
  server.reply("/nan", {"HTTP/1.0 abc Odd\r\n\r\nbody"});
  server.reply("/long-reason", httpReply(200, std::string(2000, 'r'), "b"));
  server.reply("/lower", httpReply(200, "OK", "b", "content-type: text/plain\r\n"));
  server.reply("/nul", httpReply(200, "OK", nul_body));
  scripted_reply_t drip = httpReply(200, "OK", "dripped body", "Content-Type: a/b\r\n");
  drip.chunk_size = 1;
  drip.chunk_delay_ms = 1;
  server.reply("/drip", drip);

  auto get = [&](const std::string& path) {
    http_t* h = http_get(server.url(path).c_str(), nullptr);
    EXPECT_NE(h, nullptr) << path;
    if (h) runToEnd(h);
    return h;
  };

  http_t* h = get("/ok");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_EQ(h->status_code, 200);
  EXPECT_STREQ(h->reason_phrase, "OK");
  EXPECT_STREQ(h->content_type, "text/plain");
  EXPECT_EQ(body(h), "hello");
  EXPECT_EQ(static_cast<const char*>(h->response_data)[h->response_size], '\0');
  http_release(h);

  h = get("/empty");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_EQ(h->status_code, 200);
  EXPECT_STREQ(h->content_type, "");
  EXPECT_EQ(h->response_size, 0u);
  ASSERT_NE(h->response_data, nullptr);
  EXPECT_STREQ(static_cast<const char*>(h->response_data), "");
  http_release(h);

  h = get("/404");
  EXPECT_EQ(h->status, HTTP_STATUS_FAILED);
  EXPECT_EQ(h->status_code, 404);
  EXPECT_STREQ(h->reason_phrase, "Not Found");
  EXPECT_EQ(body(h), "missing");
  EXPECT_EQ(http_process(h), HTTP_STATUS_FAILED);  // failed stays failed
  http_release(h);

  h = get("/299");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  http_release(h);
  h = get("/300");
  EXPECT_EQ(h->status, HTTP_STATUS_FAILED);
  EXPECT_EQ(h->status_code, 300);
  http_release(h);

  h = get("/nan");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_EQ(h->status_code, 0);
  EXPECT_EQ(body(h), "body");
  http_release(h);

  h = get("/long-reason");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_EQ(std::string(h->reason_phrase), std::string(1023, 'r'));
  EXPECT_EQ(body(h), "b");
  http_release(h);

  h = get("/lower");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_STREQ(h->content_type, "");
  http_release(h);

  h = get("/nul");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_EQ(body(h), nul_body);
  http_release(h);

  h = get("/drip");
  EXPECT_EQ(h->status, HTTP_STATUS_COMPLETED);
  EXPECT_STREQ(h->content_type, "a/b");
  EXPECT_EQ(body(h), "dripped body");
  http_release(h);
}

// A body larger than the initial 64 KiB receive buffer, arriving in pieces.
TEST(HttpResponse, LargeBodyGrowsTheBuffer) {
  ScriptServer server;
  std::string big(300000, '\0');
  for (size_t k = 0; k < big.size(); ++k) big[k] = static_cast<char>(k % 251);
  scripted_reply_t r = httpReply(200, "OK", big);
  r.chunk_size = 70000;
  r.chunk_delay_ms = 2;
  server.replyDefault(r);
  http_t* h = http_get(server.url("/big").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
  EXPECT_TRUE(body(h) == big);
  http_release(h);
}

// A service that sends without end fails the request at the size limit.
TEST(HttpResponse, OversizedResponseFails) {
  http_max_response_bytes = 100000;
  ScriptServer server;
  server.reply("/fits", httpReply(200, "OK", std::string(99000, 'f')));
  server.reply("/huge", httpReply(200, "OK", std::string(300000, 'h')));
  http_t* fits = http_get(server.url("/fits").c_str(), nullptr);
  http_t* huge = http_get(server.url("/huge").c_str(), nullptr);
  http_max_response_bytes = http_response_limit;
  ASSERT_NE(fits, nullptr);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(runToEnd(fits), HTTP_STATUS_COMPLETED);
  EXPECT_EQ(fits->response_size, 99000u);
  EXPECT_EQ(runToEnd(huge), HTTP_STATUS_FAILED);
  EXPECT_STREQ(http_failure_reason(huge), "response larger than the limit");
  http_release(fits);
  http_release(huge);
}

TEST(HttpResponse, MalformedResponsesFail) {
  ScriptServer server;
  server.reply("/nothing", closeWithoutReply());
  server.reply("/no-separator", {"HTTP/1.0 200 OK\r\nContent-Type: x\r\n"});
  server.reply("/one-space", {"HTTP/1.0 200\r\n\r\nbody"});
  server.reply("/long-code", {"HTTP/1.0 0000000000000000200 OK\r\n\r\nbody"});
  server.reply("/code-15", {"HTTP/1.0 000000000000200 OK\r\n\r\nbody"});
  server.reply("/no-line-end", {"\r\n\r\nHTTP/1.0 200 OK"});
  scripted_reply_t reset = httpReply(200, "OK", "x");
  reset.bytes = "HTTP/1.0 200 OK\r\n";
  reset.reset = true;
  server.reply("/reset", reset);

  const std::pair<const char*, const char*> cases[] = {
      {"/nothing", "no blank line ends the response header"},
      {"/no-separator", "no blank line ends the response header"},
      {"/one-space", "status line without two spaces"},
      {"/long-code", "status code longer than 15 characters"},
      {"/no-line-end", "status line without a line end"},
      {"/reset", "receive failed"}};
  for (auto [path, reason] : cases) {
    http_t* h = http_get(server.url(path).c_str(), nullptr);
    ASSERT_NE(h, nullptr) << path;
    EXPECT_EQ(runToEnd(h), HTTP_STATUS_FAILED) << path;
    EXPECT_STREQ(http_failure_reason(h), reason) << path;
    http_release(h);
  }
  // Fifteen characters still fit the status code's buffer.
  http_t* h = http_get(server.url("/code-15").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
  EXPECT_EQ(h->status_code, 200);
  http_release(h);
}

TEST(HttpStall, SilentServerAndHeldConnectionFail) {
  // Ten times the gaps of the slow reply below, so a loaded machine does
  // not turn its gaps into stalls.
  stall_limit_guard_t guard(400);
  ScriptServer server;
  server.reply("/silent", neverReply());
  scripted_reply_t held = httpReply(200, "OK", "all of it but no close");
  held.hold_open = true;
  server.reply("/held", held);
  scripted_reply_t slow = httpReply(200, "OK", "slow but moving");
  slow.chunk_size = 1;
  slow.chunk_delay_ms = 40;  // every gap well under the stall limit
  server.reply("/slow", slow);

  for (const char* path : {"/silent", "/held"}) {
    http_t* h = http_get(server.url(path).c_str(), nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(runToEnd(h), HTTP_STATUS_FAILED) << path;
    http_release(h);
  }
  // The limit is on silence, not on the length of the whole transfer.
  http_t* h = http_get(server.url("/slow").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_COMPLETED);
  EXPECT_EQ(body(h), "slow but moving");
  http_release(h);
}

// With the listen queue full and nobody accepting, a connect never
// completes: the stall limit ends it.
TEST(HttpStall, ConnectThatNeverCompletesFails) {
  stall_limit_guard_t guard(150);
  ScriptServer server(0);
  server.pauseAccepting(true);
  std::vector<http_t*> fillers;
  for (int k = 0; k < 2; ++k) fillers.push_back(http_get(server.url("/fill").c_str(), nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the first handshake land
  http_t* h = http_get(server.url("/x").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_FAILED);
  http_release(h);
  for (http_t* f : fillers) http_release(f);
}

// A refused connection fails at once: either creation fails or the first
// polls see the pending error. The stall limit is set far beyond the poll
// bound, so only the error can end the request here.
TEST(HttpConnect, RefusedConnectionFailsAtOnce) {
  stall_limit_guard_t guard(600000);
  std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x";
  http_t* h = http_get(url.c_str(), nullptr);
  if (h) {
    EXPECT_EQ(runToEnd(h, 2000), HTTP_STATUS_FAILED);
    http_release(h);
  }
  EXPECT_EQ(http_get("http://name.invalid/x", nullptr), nullptr);
}

// A peer that resets the connection while the body is still going out must
// fail the request, not kill the process with SIGPIPE.
TEST(HttpConnect, PeerResetDuringSendFails) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread resetter([listener] {
    int fd = accept(listener, nullptr, nullptr);
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
  });
  std::string big(32 << 20, 'x');
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/up";
  http_t* h = http_post(url.c_str(), big.data(), big.size(), nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(runToEnd(h), HTTP_STATUS_FAILED);
  http_release(h);
  resetter.join();
  close(listener);
}

namespace {

// An HTTP/1.1 answer framed by its length, on a connection the server keeps.
scripted_reply_t kept(const std::string& body, int code = 200, const std::string& headers = "") {
  scripted_reply_t r;
  r.bytes = "HTTP/1.1 " + std::to_string(code) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
            headers + "\r\n" + body;
  r.keep_alive = true;
  return r;
}

http_t* getKeepAlive(const ScriptServer& server, const std::string& path) {
  http_t* h = httpGetKeepAlive(server.url(path).c_str(), nullptr);
  EXPECT_NE(h, nullptr) << path;
  if (h) runToEnd(h);
  return h;
}

}  // namespace

// Answers framed by length or by chunks (dripped, so that the chunks are
// decoded piece by piece), a failing status among them, all on one
// connection; an answer that ends its connection, or an HTTP/1.0 one, is
// followed by a new connection.
TEST(HttpKeepAlive, OneConnectionCarriesFramedAnswers) {
  ScriptServer server;
  const http_connection_stats_t before = httpConnectionStats();
  server.reply("/a", kept("first"));
  scripted_reply_t chunked;
  chunked.bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: a/b\r\n\r\n"
                  "5;name=x\r\nhello\r\n7\r\n, world\r\n0\r\nTrailer: t\r\n\r\n";
  chunked.chunk_size = 3;
  chunked.keep_alive = true;
  server.reply("/b", chunked);
  server.reply("/c", kept("no such thing", 404));
  server.reply("/close", kept("last on this one", 200, "Connection: close\r\n"));
  server.reply("/old", httpReply(200, "OK", "until the close"));

  const std::pair<const char*, const char*> sequence[] = {
      {"/a", "first"}, {"/b", "hello, world"}, {"/c", "no such thing"},
      {"/close", "last on this one"}, {"/old", "until the close"}, {"/a", "first"}};
  for (auto [path, expected] : sequence) {
    http_t* h = getKeepAlive(server, path);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->status, std::string(path) == "/c" ? HTTP_STATUS_FAILED : HTTP_STATUS_COMPLETED) << path;
    EXPECT_EQ(body(h), expected) << path;
    EXPECT_EQ(static_cast<const char*>(h->response_data)[h->response_size], '\0');
    http_release(h);
  }
  auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 6u);
  EXPECT_EQ(reqs[0].head, "GET /a HTTP/1.1\r\nHost: " + server.host() + "\r\n\r\n");
  std::vector<int> connections;
  for (const auto& r : reqs) connections.push_back(r.connection);
  EXPECT_EQ(connections, (std::vector<int>{1, 1, 1, 1, 2, 3}));
  const http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(after.connections_opened - before.connections_opened, 3);
  EXPECT_EQ(after.requests_on_reused - before.requests_on_reused, 3);
  // A kept connection is closed on request.
  httpCloseIdleConnections();
  EXPECT_TRUE(waitFor([&] { return server.openConnections() == 0; }));
}

// A half-sent answer on a reused connection fails that request alone; a
// connection the service closed while idle is not used again, and a request
// that meets one closed under it goes out once more on a new one.
TEST(HttpKeepAlive, BrokenConnectionsFailOnlyTheirOwnRequest) {
  ScriptServer server;
  scripted_reply_t half;
  half.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part of it";
  server.replySequence("/x", {kept("whole"), half, kept("again")});
  scripted_reply_t then_closed = kept("then closed");
  then_closed.keep_alive = false;  // announces a persistent connection, closes it anyway
  server.replySequence("/y", {then_closed, kept("fresh"), closeWithoutReply(), kept("sent again")});

  const std::tuple<const char*, http_status_t, const char*> sequence[] = {
      {"/x", HTTP_STATUS_COMPLETED, "whole"},
      {"/x", HTTP_STATUS_FAILED, "connection closed before the end of the body"},
      {"/x", HTTP_STATUS_COMPLETED, "again"},
      {"/y", HTTP_STATUS_COMPLETED, "then closed"},
      {"/y", HTTP_STATUS_COMPLETED, "fresh"},
      {"/y", HTTP_STATUS_COMPLETED, "sent again"}};
  for (auto [path, status, text] : sequence) {
    http_t* h = getKeepAlive(server, path);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->status, status) << text;
    EXPECT_EQ(status == HTTP_STATUS_COMPLETED ? body(h) : std::string(http_failure_reason(h)), text);
    http_release(h);
  }
  std::vector<int> connections;
  for (const auto& r : server.requests()) connections.push_back(r.connection);
  // The half-sent answer ends connection 1; "then closed" goes out on the
  // kept connection 2, which the service then closes; the request the
  // service drops on connection 3 is seen again on connection 4.
  EXPECT_EQ(connections, (std::vector<int>{1, 1, 2, 2, 3, 3, 4}));
}

TEST(HttpKeepAlive, MalformedFramingFails) {
  http_max_response_bytes = 100000;
  ScriptServer server;
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
  const std::pair<std::string, const char*> cases[] = {
      {head + "Content-Length: 12x\r\n\r\n", "Content-Length is not a decimal number"},
      {head + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", "two different Content-Length values"},
      {head + "Content-Length: 100001\r\n\r\n", "response larger than the limit"},
      {head + "Transfer-Encoding: gzip\r\n\r\n", "transfer coding other than chunked"},
      {chunked + "zz\r\n", "chunk size is not a hexadecimal number"},
      {chunked + "ffffffffffffffffffff\r\n", "response larger than the limit"},
      {chunked + std::string(2000, '1'), "chunk size line longer than 1 KiB"},
      {chunked + "3\r\nabcX\r\n", "chunk data not followed by a line end"},
      {chunked + "5\r\nhello\r\n", "connection closed before the last chunk"},
      {head + std::string(70000, 'h'), "response header larger than 64 KiB"}};
  for (size_t k = 0; k < std::size(cases); ++k) server.reply("/" + std::to_string(k), {cases[k].first});
  for (size_t k = 0; k < std::size(cases); ++k) {
    http_t* h = getKeepAlive(server, "/" + std::to_string(k));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->status, HTTP_STATUS_FAILED) << cases[k].second;
    EXPECT_STREQ(http_failure_reason(h), cases[k].second);
    http_release(h);
  }
  http_max_response_bytes = http_response_limit;
}
