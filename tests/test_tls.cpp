// https:// with the HTTP client against the scripted server speaking TLS,
// with a CA and certificates made for this run (make_test_certs.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "fetch_fixture.h"
#include "net/http_client.h"

namespace {

struct certs_t {
  temp_dir_t dir{"tls"};
  certs_t() {
    if (std::system(("bash " TEST_CERTS_SCRIPT " " + dir.path).c_str()) != 0) std::abort();
  }
  std::string operator()(const char* name) const { return dir.path + "/" + name; }
};

const certs_t& certs() {
  static certs_t c;
  return c;
}

struct stall_limit_guard_t {
  explicit stall_limit_guard_t(int64_t ms) { http_stall_timeout_ms = ms; }
  ~stall_limit_guard_t() { http_stall_timeout_ms = http_stall_limit_ms; }
};

// A server speaking TLS with one of the certificates, answering every path.
struct tls_server_t {
  ScriptServer server;
  explicit tls_server_t(const char* cert, scripted_reply_t reply = keptAliveReply("tls body")) {
    EXPECT_TRUE(server.useTls(certs()(cert), certs()("leaf.key"))) << cert;
    server.replyDefault(reply);
  }
};

bool waitFor(const std::function<bool()>& done) {
  for (int k = 0; k < 1000 && !done(); ++k) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

}  // namespace

// Declared first, so that it runs before any CA file is added: a certificate
// from an unknown CA, then with the CA: one that verifies, an expired one,
// one for another name, a self-signed one. Each rejection names the host and
// OpenSSL's reason, in the request's failure and once on standard error.
TEST(Tls, CertificatesAreAlwaysVerified) {
  tls_server_t good("good.pem");
  testing::internal::CaptureStderr();
  http_outcome_t o = getToEnd(good.server.tlsUrl("/a"));
  getToEnd(good.server.tlsUrl("/a"));
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_EQ(o.status, HTTP_STATUS_FAILED);
  const std::string unknown = "certificate of 127.0.0.1 rejected: unable to get local issuer certificate";
  EXPECT_EQ(o.reason, unknown);
  EXPECT_EQ(told, unknown + "\n");

  char why[512];
  EXPECT_FALSE(httpAddCaFile("/nonexistent/ca.pem", why, sizeof why));
  EXPECT_NE(std::string(why).find("--ca-file: cannot load CA certificates from /nonexistent/ca.pem"),
            std::string::npos)
      << why;
  ASSERT_TRUE(httpAddCaFile(certs()("ca.pem").c_str(), why, sizeof why)) << why;
  o = getToEnd(good.server.tlsUrl("/a"));
  EXPECT_EQ(o.status, HTTP_STATUS_COMPLETED) << o.reason;
  EXPECT_EQ(o.body, "tls body");

  const std::pair<const char*, const char*> rejected[] = {{"expired.pem", "certificate has expired"},
                                                          {"wronghost.pem", "IP address mismatch"},
                                                          {"selfsigned.pem", "self-signed certificate"}};
  for (const auto& [cert, reason] : rejected) {
    tls_server_t bad(cert);
    o = getToEnd(bad.server.tlsUrl("/a"));
    EXPECT_EQ(o.status, HTTP_STATUS_FAILED) << cert;
    EXPECT_EQ(o.reason, std::string("certificate of 127.0.0.1 rejected: ") + reason) << cert;
    EXPECT_EQ(bad.server.requestCount(), 0u) << cert;  // no request goes to an unverified service
  }
}

// Requests started at once: both complete.
void runBoth(http_t* a, http_t* b) {
  ASSERT_TRUE(a && b);
  for (;;) {
    const bool a_pending = http_process(a) == HTTP_STATUS_PENDING;
    const bool b_pending = http_process(b) == HTTP_STATUS_PENDING;
    if (!a_pending && !b_pending) break;
    http_wait(a_pending ? a : b, 2);
  }
  EXPECT_EQ(a->status, HTTP_STATUS_COMPLETED) << http_failure_reason(a);
  EXPECT_EQ(b->status, HTTP_STATUS_COMPLETED) << http_failure_reason(b);
  http_release(a);
  http_release(b);
}

// A released connection carries the next request without a handshake; a
// second connection to the same host resumes the first one's session, also
// when both start at once (the second waits for the first one's session).
TEST(Tls, KeptAliveConnectionsAndResumedSessions) {
  char why[512];
  ASSERT_TRUE(httpAddCaFile(certs()("ca.pem").c_str(), why, sizeof why)) << why;
  tls_server_t s("good.pem");
  const http_connection_stats_t before = httpConnectionStats();
  EXPECT_EQ(getToEnd(s.server.tlsUrl("/1")).body, "tls body");
  EXPECT_EQ(getToEnd(s.server.tlsUrl("/2")).body, "tls body");  // on the kept connection
  runBoth(httpGetKeepAlive(s.server.tlsUrl("/3").c_str(), nullptr),   // takes the kept one
          httpGetKeepAlive(s.server.tlsUrl("/4").c_str(), nullptr));  // a new one
  http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(after.connections_opened - before.connections_opened, 2);
  EXPECT_EQ(after.requests_on_reused - before.requests_on_reused, 2);
  EXPECT_EQ(after.tls_handshakes_full - before.tls_handshakes_full, 1);
  EXPECT_EQ(after.tls_handshakes_resumed - before.tls_handshakes_resumed, 1);

  tls_server_t fresh("good.pem");  // another port: no session yet
  runBoth(httpGetKeepAlive(fresh.server.tlsUrl("/1").c_str(), nullptr),
          httpGetKeepAlive(fresh.server.tlsUrl("/2").c_str(), nullptr));
  const http_connection_stats_t last = httpConnectionStats();
  EXPECT_EQ(last.tls_handshakes_full - after.tls_handshakes_full, 1);
  EXPECT_EQ(last.tls_handshakes_resumed - after.tls_handshakes_resumed, 1);
  httpCloseIdleConnections();
}

// A peer that is no TLS service, closes mid-handshake or never answers the
// handshake: the request fails within the stall limit, with a reason.
TEST(Tls, BrokenPeersFailBounded) {
  stall_limit_guard_t guard(300);
  const std::pair<std::string, std::string> greetings[] = {
      {"HTTP/1.1 400 Bad Request\r\n\r\n", "TLS handshake with 127.0.0.1 failed: "},
      {"", "TLS handshake with 127.0.0.1 failed: "},
      {std::string("\x16\x03\x03\x00\x40\x02\x00", 7), "TLS handshake with 127.0.0.1 failed: "}};
  for (const auto& [greeting, reason] : greetings) {
    ScriptServer peer;
    peer.greetAndClose(greeting);
    const http_outcome_t o = getToEnd(peer.tlsUrl("/x"));
    EXPECT_EQ(o.status, HTTP_STATUS_FAILED);
    EXPECT_EQ(o.reason.rfind(reason, 0), 0u) << o.reason;
  }
  ScriptServer silent;  // plain HTTP: waits for a request head that never comes
  const http_outcome_t o = getToEnd(silent.tlsUrl("/x"));
  EXPECT_EQ(o.reason, "no progress within the stall limit");
}

// Releasing a TLS transfer midway closes its socket at once.
TEST(Tls, AbandonedTransferClosesItsSocket) {
  char why[512];
  ASSERT_TRUE(httpAddCaFile(certs()("ca.pem").c_str(), why, sizeof why)) << why;
  scripted_reply_t slow = keptAliveReply(std::string(200000, 'x'));
  slow.chunk_size = 1000;
  slow.chunk_delay_ms = 20;
  tls_server_t s("good.pem", slow);
  http_t* h = httpGetKeepAlive(s.server.tlsUrl("/slow").c_str(), nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(waitFor([&] {
    http_process(h);
    return s.server.requestCount() == 1;
  }));
  for (int k = 0; k < 10; ++k) {
    http_process(h);
    http_wait(h, 5);
  }
  EXPECT_EQ(h->status, HTTP_STATUS_PENDING);
  http_release(h);
  EXPECT_TRUE(waitFor([&] { return s.server.openConnections() == 0; }));
}

// Declared last: the headers stay for the rest of the process. They go with
// every request, plain and over TLS, after the Host line.
TEST(RequestHeaders, GoWithEveryRequest) {
  char why[512];
  ASSERT_TRUE(httpAddCaFile(certs()("ca.pem").c_str(), why, sizeof why)) << why;
  ASSERT_TRUE(httpCheckRequestHeader("X-Api-Key: s3cret", why, sizeof why));
  httpAddRequestHeader("X-Api-Key: s3cret");
  httpAddRequestHeader("Accept: */*");
  tls_server_t secure("good.pem");
  ScriptServer plain;
  plain.replyDefault(keptAliveReply("plain body"));
  EXPECT_EQ(getToEnd(secure.server.tlsUrl("/k")).body, "tls body");
  EXPECT_EQ(getToEnd(plain.url("/k")).body, "plain body");
  for (ScriptServer* s : {&secure.server, &plain}) {
    ASSERT_EQ(s->requests().size(), 1u);
    EXPECT_EQ(s->requests()[0].head,
              "GET /k HTTP/1.1\r\nHost: " + s->host() + "\r\nX-Api-Key: s3cret\r\nAccept: */*\r\n\r\n");
  }
  httpCloseIdleConnections();
}
