#include "net/kept_alive_pool.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>

namespace {

// Idle kept-alive connections, by "host:port". At most one per download
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

std::string connectionKey(const char* host, const char* port) { return std::string(host) + ":" + port; }

}  // namespace

// One the service has closed (or that holds bytes nobody asked for) reads
// as readable: it is dropped here rather than failing a request later.
bool keptAliveTake(const char* host, const char* port, int64_t stall_limit_ms, http_connection_t* out) {
  const std::string key = connectionKey(host, port);
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
    pollfd p{c.socket, POLLIN, 0};
    if (poll(&p, 1, 0) == 0) {
      c.stall_limit_ms = stall_limit_ms;
      c.last_progress_ms = httpNowMs();
      *out = c;
      ++requests_on_reused;
      return true;
    }
    connectionClose(&c);
  }
}

void keptAliveKeep(const char* host, const char* port, http_connection_t* c) {
  idle_connections_t& idle = idleConnections();
  {
    std::lock_guard<std::mutex> lock(idle.m);
    if (idle.keeping && idle.connections.size() < max_idle_connections) {
      idle.connections.emplace_back(connectionKey(host, port), *c);
      c->socket = -1;
      return;
    }
  }
  connectionClose(c);
}

bool keptAliveOpen(http_connection_t* c, const char* host, const char* port, int64_t stall_limit_ms) {
  if (!connectionOpen(c, host, port, stall_limit_ms)) return false;
  ++connections_opened;
  return true;
}

bool keptAliveRetry(http_connection_t* c, bool* reused, size_t received, const char* host, const char* port) {
  if (!*reused || received != 0) return false;
  connectionClose(c);
  *reused = false;
  return keptAliveOpen(c, host, port, c->stall_limit_ms);
}

void httpCloseIdleConnections() {
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
  httpCloseIdleConnections();
}

http_connection_stats_t httpConnectionStats() { return {connections_opened.load(), requests_on_reused.load()}; }
