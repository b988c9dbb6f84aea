// HTTP/2 over TLS against nginx (http2 on), with a CA and certificate made
// for this run (make_test_certs.sh): streams of one connection, a stream
// given up that leaves the rest alone, GOAWAY mid-series, and a TLS service
// that speaks only HTTP/1.1.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fetch_fixture.h"
#include "net/http_client.h"

namespace {

constexpr int file_count = 96;

// The bytes of file k: sizes from a few bytes to past the default 64 KiB
// window, and one of 3 MB.
std::string fileBytes(int k) {
  const size_t size = k == 0 ? (3u << 20) : static_cast<size_t>(k) * 1777 + 5;
  std::string bytes(size, '\0');
  uint32_t x = 2654435761u * static_cast<uint32_t>(k + 1);
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

// nginx on three loopback ports, all TLS: h2 (a slow place under /slow/),
// h2 with keepalive_requests 5 (a GOAWAY after every fifth stream), and
// HTTP/1.1 alone.
struct nginx_t {
  temp_dir_t dir{"http2"};
  uint16_t h2 = freePort(), h2_goaway = freePort(), http11 = freePort();
  pid_t pid = -1;
  nginx_t() {
    if (std::system(("bash " TEST_CERTS_SCRIPT " " + dir.path + " && mkdir -p " + dir.path + "/files/slow " +
                     dir.path + "/tmp").c_str()) != 0)
      std::abort();
    for (int k = 0; k < file_count; ++k) std::ofstream(dir.path + "/files/" + std::to_string(k)) << fileBytes(k);
    std::ofstream(dir.path + "/files/slow/big") << fileBytes(0);
    const std::string tls = " ssl_certificate " + dir.path + "/good.pem; ssl_certificate_key " + dir.path +
                            "/leaf.key; root " + dir.path + "/files;";
    std::ofstream(dir.path + "/nginx.conf")
        << "worker_processes 1; error_log " << dir.path << "/error.log; pid " << dir.path << "/nginx.pid;\n"
        << "events {}\nhttp { access_log off; client_body_temp_path " << dir.path << "/tmp; proxy_temp_path "
        << dir.path << "/tmp; fastcgi_temp_path " << dir.path << "/tmp; uwsgi_temp_path " << dir.path
        << "/tmp; scgi_temp_path " << dir.path << "/tmp;\n"
        << "server { listen 127.0.0.1:" << h2 << " ssl http2;" << tls << " location /slow/ { limit_rate 64k; } }\n"
        << "server { listen 127.0.0.1:" << h2_goaway << " ssl http2; keepalive_requests 5;" << tls << " }\n"
        << "server { listen 127.0.0.1:" << http11 << " ssl;" << tls << " }\n}\n";
    const std::string conf = dir.path + "/nginx.conf";
    const std::string globals = geteuid() == 0 ? "daemon off; user root;" : "daemon off;";
    const char* argv[] = {"nginx", "-p", dir.path.c_str(), "-c", conf.c_str(), "-g", globals.c_str(), nullptr};
    const char* nginx = access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "nginx";
    if (posix_spawnp(&pid, nginx, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid = -1;
    for (int k = 0; k < 500 && pid > 0 && !loopbackAccepts(http11); ++k)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    char why[256];
    if (!httpAddCaFile((dir.path + "/ca.pem").c_str(), why, sizeof why)) std::abort();
  }
  ~nginx_t() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  static std::string url(uint16_t port, const std::string& path) {
    return "https://localhost:" + std::to_string(port) + "/" + path;
  }
};

nginx_t& nginx() {
  static nginx_t n;
  return n;
}

// Every file fetched from threads at once (the viewer's download threads
// share one connection the same way); the number that came back whole.
int fetchAllAtOnce(uint16_t port, int threads) {
  std::vector<std::thread> pool;
  std::atomic<int> whole{0};
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      for (int k = t; k < file_count; k += threads) {
        const http_outcome_t o = getToEnd(nginx_t::url(port, std::to_string(k)));
        if (o.status == HTTP_STATUS_COMPLETED && o.body == fileBytes(k)) ++whole;
        else ADD_FAILURE() << "file " << k << ": " << o.reason << " (" << o.body.size() << " bytes)";
      }
    });
  for (auto& t : pool) t.join();
  return whole;
}

}  // namespace

// Many requests at once from many threads: byte for byte what nginx
// serves, all as streams of one connection (one handshake).
TEST(Http2, ConcurrentRequestsShareOneConnection) {
  ASSERT_GT(nginx().pid, 0) << "nginx (scripts/bootstrap installs it)";
  const http_connection_stats_t before = httpConnectionStats();
  EXPECT_EQ(fetchAllAtOnce(nginx().h2, 16), file_count);
  const http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(after.http2_connections - before.http2_connections, 1);
  EXPECT_EQ(after.http2_streams - before.http2_streams, file_count);
  EXPECT_EQ((after.tls_handshakes_full + after.tls_handshakes_resumed) -
                (before.tls_handshakes_full + before.tls_handshakes_resumed),
            1);
}

// A transfer given up, and one over the size limit, reset their own stream
// only: the connection goes on carrying the next requests.
TEST(Http2, GivingUpAStreamKeepsTheConnection) {
  ASSERT_GT(nginx().pid, 0);
  ASSERT_EQ(getToEnd(nginx_t::url(nginx().h2, "5")).body, fileBytes(5));
  const http_connection_stats_t before = httpConnectionStats();

  http_t* slow = httpGetKeepAlive(nginx_t::url(nginx().h2, "slow/big").c_str(), nullptr);
  ASSERT_NE(slow, nullptr);
  for (int k = 0; k < 5000 && http_process(slow) == HTTP_STATUS_PENDING && slow->status_code == 0; ++k)
    http_wait(slow, 5);
  EXPECT_EQ(slow->status_code, 200);
  EXPECT_EQ(slow->status, HTTP_STATUS_PENDING);  // 3 MB at 64 KB/s: far from done
  http_release(slow);

  http_max_response_bytes = 100000;
  const http_outcome_t too_large = getToEnd(nginx_t::url(nginx().h2, "0"));
  http_max_response_bytes = http_response_limit;
  EXPECT_EQ(too_large.status, HTTP_STATUS_FAILED);
  EXPECT_EQ(too_large.reason, "response larger than the limit");

  for (int k = 1; k < 4; ++k) EXPECT_EQ(getToEnd(nginx_t::url(nginx().h2, std::to_string(k))).body, fileBytes(k));
  const http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(after.connections_opened - before.connections_opened, 0);
  EXPECT_EQ(after.http2_connections - before.http2_connections, 0);
}

// nginx ends each connection with a GOAWAY after five requests: the streams
// it refused go out again on new connections, none is reported failed, and
// they share each new connection rather than each making one (about a
// handshake per HTTP/2 connection; a few more can race at the first contact,
// each refused stream with one of its own would make twelve per GOAWAY).
TEST(Http2, GoawayMidSeriesLosesNoRequest) {
  ASSERT_GT(nginx().pid, 0);
  const http_connection_stats_t before = httpConnectionStats();
  EXPECT_EQ(fetchAllAtOnce(nginx().h2_goaway, 12), file_count);
  const http_connection_stats_t after = httpConnectionStats();
  const int64_t connections = after.http2_connections - before.http2_connections;
  EXPECT_GE(connections, file_count / 5);
  EXPECT_LT((after.tls_handshakes_full + after.tls_handshakes_resumed) -
                (before.tls_handshakes_full + before.tls_handshakes_resumed),
            2 * connections);
}

// A TLS service that chooses HTTP/1.1: kept-alive connections as before.
TEST(Http2, HttpOneServiceIsSpokenToAsBefore) {
  ASSERT_GT(nginx().pid, 0);
  const http_connection_stats_t before = httpConnectionStats();
  for (int k = 1; k < 6; ++k) EXPECT_EQ(getToEnd(nginx_t::url(nginx().http11, std::to_string(k))).body, fileBytes(k));
  const http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(after.http2_connections - before.http2_connections, 0);
  EXPECT_EQ(after.connections_opened - before.connections_opened, 1);
  EXPECT_EQ(after.requests_on_reused - before.requests_on_reused, 4);
}

// A service that chooses HTTP/2 and then answers with garbage: the request
// fails with a reason, once, without a new connection per retry.
TEST(Http2, GarbageFromTheServiceFailsTheRequest) {
  ASSERT_GT(nginx().pid, 0);  // its CA is added
  ScriptServer server;
  ASSERT_TRUE(server.useTls(nginx().dir.path + "/good.pem", nginx().dir.path + "/leaf.key", true));
  scripted_reply_t garbage = httpReply(200, "OK", std::string(300, 'x'));
  garbage.hold_open = true;
  server.replyDefault(garbage);
  const http_connection_stats_t before = httpConnectionStats();
  const http_outcome_t o = getToEnd(server.tlsUrl("/a"));
  const http_connection_stats_t after = httpConnectionStats();
  EXPECT_EQ(o.status, HTTP_STATUS_FAILED);
  EXPECT_EQ(o.reason, "HTTP/2 protocol error from the service");
  EXPECT_EQ(after.http2_connections - before.http2_connections, 1);
}
