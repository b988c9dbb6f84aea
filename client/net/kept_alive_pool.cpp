#include "net/kept_alive_pool.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>

#include "net/http2_session.h"

namespace {

// Idle kept-alive connections, by "http://host:port" or "https://host:port". At most one per download
// thread is ever idle; the bound only guards against a caller that makes
// more threads than the viewer does.
struct idle_connections_t {
  std::mutex m;
  std::vector<std::pair<std::string, http_connection_t>> connections;
  bool keeping = true;  // false once the process shuts its connections
};

idle_connections_t& idleConnections() {
  // Never destroyed: download threads may return connections during exit.
  static auto* idle = new idle_connections_t();
  return *idle;
}

constexpr size_t max_idle_connections = 4 * download_pool_threads;

std::atomic<int64_t> connections_opened{0};
std::atomic<int64_t> requests_on_reused{0};

// An idle connection reads as readable when the service has closed it or
// sent bytes nobody asked for; over TLS it may also be a session ticket,
// which leaves it as good as before.
bool stillClean(http_connection_t* c) {
  pollfd p{c->socket, POLLIN, 0};
  if (poll(&p, 1, 0) == 0) return true;
  return c->tls && !(p.revents & (POLLHUP | POLLERR)) && tlsIdleStillClean(c->tls);
}

}  // namespace

std::string keptAliveKey(const kept_alive_target_t& to) {
  std::string key = std::string(to.tls ? "https://" : "http://") + to.host + ":" + to.port;
  if (to.proxy) key += std::string(" via ") + to.proxy->host + ":" + to.proxy->port;
  return key;
}

// One the service has closed (or that holds bytes nobody asked for) reads
// as readable: it is dropped here rather than failing a request later.
bool keptAliveTake(const kept_alive_target_t& to, int64_t stall_limit_ms, http_connection_t* out) {
  const std::string key = keptAliveKey(to);
  idle_connections_t& idle = idleConnections();
  for (;;) {
    bool found = false;
    http_connection_t c{};
    {
      std::lock_guard<std::mutex> lock(idle.m);
      for (size_t k = idle.connections.size(); k-- > 0;) {
        if (idle.connections[k].first != key) continue;
        c = idle.connections[k].second;
        idle.connections.erase(idle.connections.begin() + static_cast<std::ptrdiff_t>(k));
        found = true;
        break;
      }
    }
    if (!found) return false;
    if (stillClean(&c)) {
      c.stall_limit_ms = stall_limit_ms;
      c.last_progress_ms = httpNowMs();
      *out = c;
      ++requests_on_reused;
      return true;
    }
    connectionClose(&c);
  }
}

void keptAliveKeep(const kept_alive_target_t& to, http_connection_t* c) {
  idle_connections_t& idle = idleConnections();
  {
    std::lock_guard<std::mutex> lock(idle.m);
    if (idle.keeping && idle.connections.size() < max_idle_connections) {
      idle.connections.emplace_back(keptAliveKey(to), *c);
      *c = http_connection_t{};
      c->socket = -1;
      return;
    }
  }
  connectionClose(c);
}

bool keptAliveOpen(http_connection_t* c, const kept_alive_target_t& to, int64_t stall_limit_ms) {
  http_route_t route{to.host, to.port, to.tls ? to.host : nullptr, to.port, nullptr, to.tls && to.h2};
  std::string tunnel;
  if (to.proxy) {
    route.host = to.proxy->host;
    route.port = to.proxy->port;
    // An https:// service through a proxy: a tunnel, TLS inside it.
    if (to.tls) {
      const std::string authority = std::string(to.host) + ":" + to.port;
      tunnel = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
      if (to.proxy->authorization[0]) tunnel += std::string("Proxy-Authorization: ") + to.proxy->authorization + "\r\n";
      tunnel += "\r\n";
      route.tunnel_request = tunnel.c_str();
    }
  }
  if (!connectionOpen(c, route, stall_limit_ms)) return false;
  ++connections_opened;
  return true;
}

bool keptAliveRetry(http_connection_t* c, bool* reused, size_t received, const kept_alive_target_t& to) {
  if (!*reused || received != 0) return false;
  connectionClose(c);
  *reused = false;
  const int64_t stall_limit_ms = c->stall_limit_ms;
  return keptAliveOpen(c, to, stall_limit_ms);
}

void httpCloseIdleConnections() {
  http2CloseIdle(false);
  idle_connections_t& idle = idleConnections();
  std::lock_guard<std::mutex> lock(idle.m);
  for (auto& [key, c] : idle.connections) connectionClose(&c);
  idle.connections.clear();
}

void httpStopKeepingConnections() {
  {
    std::lock_guard<std::mutex> lock(idleConnections().m);
    idleConnections().keeping = false;
  }
  http2CloseIdle(true);
  httpCloseIdleConnections();
}

http_connection_stats_t httpConnectionStats() {
  const tls_handshake_counts_t tls = tlsHandshakeCounts();
  const http2_counts_t h2 = http2Counts();
  return {connections_opened.load(), requests_on_reused.load(), tls.full, tls.resumed, h2.connections, h2.streams,
          h2.refused};
}
